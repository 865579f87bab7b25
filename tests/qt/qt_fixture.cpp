#include "tests/qt/qt_fixture.h"

#include "app/KORVENDarir23.h"
#include "app/KORVENDarir23_uir.h"
#include "app/registry.h"
#include "runtime/engine.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <string_view>

namespace qtfix {

namespace {

int Record(int panel, int control, int event, void*, int, int) {
    Calls().push_back(Call{panel, control, event});
    return 0;
}

int RecordPanel(int panel, int event, void*, int, int) {
    Calls().push_back(Call{panel, 0, event});
    return 0;
}

int PanelResource(std::string_view name) {
    return name == "P1" ? 1 : name == "P2" ? 2 : -1;
}

int ControlId(std::string_view name) {
    static const std::pair<std::string_view, int> kIds[] = {
        {"T_BUTTON", kButton}, {"T_TOGGLE", kToggle},   {"T_RADIO", kRadio},   {"T_CHECK", kCheck},
        {"T_SPIN", kSpin},     {"T_FLOAT", kFloat},     {"T_RING", kRing},     {"T_TEXT", kText},
        {"T_LABEL", kLabel},   {"T_FRAME", kFrame},     {"T_INNER", kInner},   {"T_GRAPH", kGraph},
        {"T_STRIP", kStrip},   {"T_PICTURE", kPicture}, {"T_DOUBLE", kDouble}, {"T_OTHER", kOther},
    };
    for (const auto& [n, id] : kIds) {
        if (n == name) {
            return id;
        }
    }
    return -1;
}

CtrlCallbackPtr CtrlCallback(std::string_view name) {
    return name == "CB" ? &Record : nullptr;
}

PanelCallbackPtr PanelCallback(std::string_view name) {
    return name == "PANEL_CB" ? &RecordPanel : nullptr;
}

} // namespace

std::vector<Call>& Calls() {
    static std::vector<Call> calls;
    return calls;
}

std::vector<int> EventsOf(int control) {
    std::vector<int> out;
    for (const Call& c : Calls()) {
        if (c.control == control) {
            out.push_back(c.event);
        }
    }
    return out;
}

const korven::rt::LayoutRegistry& TestRegistry() {
    static const korven::rt::LayoutRegistry reg{&PanelResource, &ControlId, &CtrlCallback,
                                                &PanelCallback};
    return reg;
}

QString WriteTestForm(const QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("test.uir"));
    // Already there when a test loads a second panel from it.
    QFile::copy(QStringLiteral(KORVEN_SOURCE_DIR "/tests/qt/test_form.uir"), path);
    return path;
}

void TestFormBase::init() {
    previous_ = korven::rt::CurrentLayoutRegistry();
    korven::rt::SetLayoutRegistry(&TestRegistry());
    qt_ = std::make_unique<korven::rt::qt::QtBackend>();
    p1_ = qt_->loadPanel(0, WriteTestForm(dir_).toStdString(), 1);
    QVERIFY(p1_ > 0);
    QCOMPARE(qt_->displayPanel(p1_), 0);
    settle();
    Calls().clear();
}

void TestFormBase::cleanup() {
    qt_.reset();
    korven::rt::SetLayoutRegistry(previous_);
    Calls().clear();
}

void TestFormBase::settle() {
    for (int i = 0; i < 5; ++i) {
        qt_->processSystemEvents();
    }
}

void ProgramTestBase::init() {
    previous_ = korven::rt::CurrentLayoutRegistry();
    korven::rt::SetLayoutRegistry(&korven::KorvenLayoutRegistry());
}

void ProgramTestBase::cleanup() {
    korven::rt::SetLayoutRegistry(previous_);
    korven::rt::SetBackend(nullptr);
}

std::string StatusText() {
    char text[1024] = {};
    GetCtrlVal(korven::pHandle, PANEL_STATUS, text);
    return text;
}

} // namespace qtfix
