// The desktop program: the Qt back end under the program's logic, with an
// optional virtual sensor on a pseudo-terminal.
#include "app/KORVENDarir23.h"
#include "app/registry.h"
#include "program/screenshot_tour.h"
#include "runtime/qt/qt_backend.h"
#if !defined(_WIN32)
#include "sim/pty_server.h"
#endif

#include <QApplication>
#include <QStandardPaths>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

constexpr const char* kUsage =
    "Usage: korven-darir [options]\n"
    "Setup and monitoring of a KORVEN edge sensor on RS-232 (19200 baud 8N1).\n"
    "\n"
    "Options:\n"
    "  --port N=PATH       serial port number N opens the device PATH, also a\n"
    "                      stable name such as /dev/serial/by-id/... (repeatable;\n"
    "                      without it, port N is the N-th serial device found,\n"
    "                      sorted by name, the adapter last used first; devices\n"
    "                      plugged in later are added at the end)\n"
    "  --port-glob PATTERN also list the devices matching PATTERN (e.g. /tmp/tty*)\n"
    "                      as they appear (repeatable)\n"
    "  --simulate [PRESET] run a virtual sensor on a pseudo-terminal as port 1\n"
    "                      (PRESET: sensor model, see korven-sensor-sim --list-presets)\n"
    "  --screenshots DIR   walk through run mode, video mode and calibration,\n"
    "                      save pictures of them into DIR and quit\n"
    "  --version           print the program name and version\n"
    "  --help              print this help\n";

struct Options {
    std::map<int, std::string> ports;
    QStringList portGlobs;
    bool simulate = false;
    std::string preset;
    std::string screenshots;
};

#if defined(_WIN32)
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
#endif

// Returns -1 to go on, otherwise the exit code.
int ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::puts("KORVEN-Darir 2.3");
            return 0;
        }
        if (arg == "--port" || arg.rfind("--port=", 0) == 0) {
            std::string mapping;
            if (arg == "--port") {
                if (i + 1 >= argc) {
                    std::fputs("korven-darir: --port needs N=PATH\n", stderr);
                    return 2;
                }
                mapping = argv[++i];
            } else {
                mapping = arg.substr(7);
            }
            const auto eq = mapping.find('=');
            int number = 0;
            try {
                std::size_t used = 0;
                number = std::stoi(mapping.substr(0, eq), &used);
                if (used != eq) {
                    number = 0;
                }
            } catch (...) {
                number = 0;
            }
            if (eq == std::string::npos || number < 1 || number > 255 || eq + 1 >= mapping.size()) {
                std::fprintf(stderr, "korven-darir: bad --port '%s' (expected N=PATH, N 1..255)\n",
                             mapping.c_str());
                return 2;
            }
            options.ports[number] = mapping.substr(eq + 1);
            continue;
        }
        if (arg == "--port-glob") {
            if (i + 1 >= argc) {
                std::fputs("korven-darir: --port-glob needs a pattern\n", stderr);
                return 2;
            }
            options.portGlobs << QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        if (arg == "--screenshots") {
            if (i + 1 >= argc) {
                std::fputs("korven-darir: --screenshots needs a directory\n", stderr);
                return 2;
            }
            options.screenshots = argv[++i];
            continue;
        }
        if (arg == "--simulate") {
#if defined(_WIN32)
            std::fputs("korven-darir: --simulate needs a pseudo-terminal, which Windows does not "
                       "have; run korven-sensor-sim on a Linux machine or use a virtual COM port "
                       "pair\n",
                       stderr);
            return 2;
#endif
            options.simulate = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                options.preset = argv[++i];
            }
            continue;
        }
        std::fprintf(stderr, "korven-darir: unknown option '%s'\n\n%s", arg.c_str(), kUsage);
        return 2;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
    AttachParentConsole();
#endif
    Options options;
    if (const int rc = ParseArguments(argc, argv, options); rc >= 0) {
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
        sensor = std::make_unique<korven::sim::PtyServer>(model);
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
    // The adapter last connected is offered first at the next start.
    // So is the main window's place, for each set of screens.
    const QString settingsFile =
        QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
        QStringLiteral("/korven-darir.conf");
    backend.rememberPortsIn(settingsFile);
    backend.rememberWindowsIn(settingsFile);
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
