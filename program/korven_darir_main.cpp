// The desktop program: the Qt back end under the program's logic, with an
// optional virtual sensor on a pseudo-terminal.
#include "app/KORVENDarir23.h"
#include "app/registry.h"
#include "app/report_command.h"
#include "program/options.h"
#include "program/screenshot_tour.h"
#include "report/report_pdf.h"
#include "runtime/qt/qt_backend.h"
#if !defined(_WIN32)
#include "sim/pty_server.h"
#endif

#include <QApplication>
#include <QStandardPaths>

#include <cstdio>
#include <memory>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

#if defined(_WIN32)
namespace {

// A window program has no console of its own: what it prints for --help,
// --version or a bad option goes to the console it was started from, if any
// (output redirected to a file or a pipe stays where it is).
void AttachParentConsole() {
    if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_UNKNOWN &&
        GetFileType(GetStdHandle(STD_ERROR_HANDLE)) != FILE_TYPE_UNKNOWN) {
        return;
    }
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::FILE* ignored = nullptr;
        freopen_s(&ignored, "CONOUT$", "w", stdout);
        freopen_s(&ignored, "CONOUT$", "w", stderr);
    }
}

} // namespace
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
    AttachParentConsole();
#endif
    korven::program::Options options;
    if (const int rc = korven::program::ParseArguments(argc, argv, options); rc >= 0) {
        return rc;
    }

#if !defined(_WIN32)
    std::unique_ptr<korven::sim::PtyServer> sensor;
    if (options.simulate) {
        korven::sim::ModelOptions model;
        if (!options.preset.empty()) {
            const korven::sim::Preset* preset = korven::sim::FindPreset(options.preset);
            if (!preset) {
                std::fprintf(stderr, "korven-darir: unknown sensor model '%s'\n",
                             options.preset.c_str());
                return 2;
            }
            model.preset = *preset;
        }
        sensor = std::make_unique<korven::sim::PtyServer>(model,
                                                          korven::program::SimulatedLine(options));
        std::string error;
        if (!sensor->start(&error)) {
            std::fprintf(stderr, "korven-darir: cannot start the virtual sensor: %s\n",
                         error.c_str());
            return 1;
        }
    }
#endif

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KORVEN-Darir"));
    QApplication::setApplicationVersion(QStringLiteral("2.3"));

    korven::rt::qt::QtBackend backend;
    // The adapter last connected is offered first at the next start, and
    // the main window opens where it was left.
    backend.keepSettingsIn(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
                           QStringLiteral("/korven-darir.conf"));
    for (const auto& [number, path] : options.ports) {
        backend.mapPort(number, QString::fromLocal8Bit(path.c_str()));
    }
#if !defined(_WIN32)
    if (sensor) {
        backend.mapPort(1, QString::fromStdString(sensor->path()), QStringLiteral("virtual sensor"),
                        false);
    }
#endif
    backend.watchPorts(options.portGlobs);
    korven::rt::SetBackend(&backend);
    korven::rt::SetLayoutRegistry(&korven::KorvenLayoutRegistry());
    korven::InstallReportPdfRenderer(&korven::report::RenderReportPdf);
    if (!options.screenshots.empty()) {
        korven::rt::qt::StartScreenshotTour(QString::fromStdString(options.screenshots));
    }

    const int rc = korven::WinMain(nullptr, nullptr, nullptr, 1);

    korven::rt::SetBackend(nullptr);
#if !defined(_WIN32)
    if (sensor) {
        sensor->stop();
    }
#endif
    return rc;
}
