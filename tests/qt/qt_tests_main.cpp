// Runs every Qt test class in one QApplication.
#include <QApplication>

#include <string>

int RunPanelTests(int argc, char** argv);
int RunSerialTests(int argc, char** argv);
int RunProgramTests(int argc, char** argv);
int RunInitPortProbe(int argc, char** argv);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Started by the program tests as a second program on a port.
    if (argc >= 3 && std::string(argv[1]) == "--init-port") {
        return RunInitPortProbe(argc, argv);
    }
    QApplication app(argc, argv);
    int failed = 0;
    failed += RunPanelTests(argc, argv);
    failed += RunSerialTests(argc, argv);
    failed += RunProgramTests(argc, argv);
    return failed == 0 ? 0 : 1;
}
