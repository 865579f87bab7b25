// Runs every Qt test class in one QApplication.
#include <QApplication>

int RunPanelTests(int argc, char** argv);
int RunGraphTests(int argc, char** argv);
int RunSerialTests(int argc, char** argv);
int RunProgramTests(int argc, char** argv);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    int failed = 0;
    failed += RunPanelTests(argc, argv);
    failed += RunGraphTests(argc, argv);
    failed += RunSerialTests(argc, argv);
    failed += RunProgramTests(argc, argv);
    return failed == 0 ? 0 : 1;
}
