// korven-darir-cli: the sensor from scripts. The program's own procedures
// on a back end without windows, over the system's serial ports.
#include "cli/cli_backend.h"
#include "cli/cli_commands.h"
#include "cli/cli_options.h"

#include "app/report_command.h"
#include "report/report_pdf.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define KORVEN_ISATTY _isatty
#define KORVEN_FILENO _fileno
#else
#include <unistd.h>
#define KORVEN_ISATTY isatty
#define KORVEN_FILENO fileno
#endif

namespace {

extern "C" void OnInterrupt(int) {
    korven::cli::RequestStop();
}

// Qt's own notes (a missing run-time folder, fonts) are no errors of this
// program: standard error keeps one line per error of its own.
void QuietQtNotes(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "korven-darir-cli: %s\n", qPrintable(message));
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    korven::cli::Options options;
    std::string text;
    if (const int rc = korven::cli::ParseCliArguments(args, options, &text); rc >= 0) {
        std::fputs(text.c_str(), rc == 0 ? stdout : stderr);
        if (rc != 0) {
            std::fputc('\n', stderr);
        }
        return rc;
    }

    // A first interrupt ends a stream as if its count was reached; the
    // lines written stay whole.
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#if !defined(_WIN32)
    // A reader that went away (a pipe into head) is a write error, not a kill.
    std::signal(SIGPIPE, SIG_IGN);
#endif

    qInstallMessageHandler(QuietQtNotes);
    // A report's PDF needs the GUI library's fonts, on a platform without a
    // display; everything else only the event loop.
    std::unique_ptr<QCoreApplication> app;
#if !defined(_WIN32)
    // Qt's own event dispatcher: the GLib one adds locking and bookkeeping to
    // each of the many short passes a stream makes, for nothing a command
    // line needs.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB")) {
        qputenv("QT_NO_GLIB", "1");
    }
#endif
    if (options.command == korven::cli::Command::Report) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        app = std::make_unique<QGuiApplication>(argc, argv);
        korven::InstallReportPdfRenderer(&korven::report::RenderReportPdf);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("KORVEN-Darir"));
    korven::cli::CliBackend backend;
    const bool progress = KORVEN_ISATTY(KORVEN_FILENO(stderr)) != 0;
    return korven::cli::RunCommand(options, backend, stdout, stderr, progress);
}
