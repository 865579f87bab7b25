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
    if (name == "P1") {
        return 1;
    }
    if (name == "P2") {
        return 2;
    }
    return -1;
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

constexpr const char* kForm = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>TestForm</class>
 <widget class="QWidget" name="TestForm">
  <property name="geometry"><rect><x>0</x><y>0</y><width>900</width><height>600</height></rect></property>
  <widget class="QWidget" name="P1">
   <property name="geometry"><rect><x>0</x><y>0</y><width>640</width><height>480</height></rect></property>
   <property name="windowTitle"><string>Test panel</string></property>
   <property name="callback" stdset="0"><string>PANEL_CB</string></property>
   <widget class="QPushButton" name="T_BUTTON">
    <property name="geometry"><rect><x>10</x><y>10</y><width>80</width><height>30</height></rect></property>
    <property name="text"><string>PRESS</string></property>
    <property name="callback" stdset="0"><string>CB</string></property>
   </widget>
   <widget class="QPushButton" name="T_TOGGLE">
    <property name="geometry"><rect><x>100</x><y>10</y><width>80</width><height>30</height></rect></property>
    <property name="text"><string>OFF</string></property>
    <property name="checkable"><bool>true</bool></property>
    <property name="onText" stdset="0"><string>ON</string></property>
    <property name="offText" stdset="0"><string>OFF</string></property>
    <property name="callback" stdset="0"><string>CB</string></property>
   </widget>
   <widget class="QRadioButton" name="T_RADIO">
    <property name="geometry"><rect><x>190</x><y>10</y><width>80</width><height>30</height></rect></property>
    <property name="text"><string>RADIO</string></property>
    <property name="callback" stdset="0"><string>CB</string></property>
   </widget>
   <widget class="QCheckBox" name="T_CHECK">
    <property name="geometry"><rect><x>280</x><y>10</y><width>80</width><height>30</height></rect></property>
    <property name="text"><string>CHECK</string></property>
    <property name="callback" stdset="0"><string>CB</string></property>
   </widget>
   <widget class="QLabel" name="caption">
    <property name="geometry"><rect><x>10</x><y>50</y><width>80</width><height>24</height></rect></property>
    <property name="text"><string>Caption</string></property>
    <property name="buddy"><cstring>T_SPIN</cstring></property>
   </widget>
   <widget class="QSpinBox" name="T_SPIN">
    <property name="geometry"><rect><x>100</x><y>50</y><width>80</width><height>24</height></rect></property>
    <property name="minimum"><number>0</number></property>
    <property name="maximum"><number>100</number></property>
    <property name="value"><number>5</number></property>
    <property name="dataType" stdset="0"><string>u16</string></property>
    <property name="label" stdset="0"><string>Caption</string></property>
    <property name="callback" stdset="0"><string>CB</string></property>
   </widget>
   <widget class="QDoubleSpinBox" name="T_FLOAT">
    <property name="geometry"><rect><x>190</x><y>50</y><width>80</width><height>24</height></rect></property>
    <property name="decimals"><number>2</number></property>
    <property name="minimum"><double>0.0</double></property>
    <property name="maximum"><double>128.0</double></property>
    <property name="value"><double>1.0</double></property>
    <property name="dataType" stdset="0"><string>float</string></property>
    <property name="callback" stdset="0"><string>CB</string></property>
   </widget>
   <widget class="QDoubleSpinBox" name="T_DOUBLE">
    <property name="geometry"><rect><x>280</x><y>50</y><width>80</width><height>24</height></rect></property>
    <property name="decimals"><number>2</number></property>
    <property name="minimum"><double>-100000.0</double></property>
    <property name="maximum"><double>100000.0</double></property>
    <property name="dataType" stdset="0"><string>double</string></property>
   </widget>
   <widget class="QComboBox" name="T_RING">
    <property name="geometry"><rect><x>370</x><y>50</y><width>80</width><height>24</height></rect></property>
    <property name="currentIndex"><number>0</number></property>
    <property name="valueOffset" stdset="0"><number>1</number></property>
    <property name="callback" stdset="0"><string>CB</string></property>
    <item><property name="text"><string>a</string></property></item>
    <item><property name="text"><string>b</string></property></item>
    <item><property name="text"><string>c</string></property></item>
   </widget>
   <widget class="QPlainTextEdit" name="T_TEXT">
    <property name="geometry"><rect><x>10</x><y>90</y><width>300</width><height>50</height></rect></property>
    <property name="readOnly"><bool>true</bool></property>
    <property name="plainText"><string>
</string></property>
   </widget>
   <widget class="QLabel" name="T_LABEL">
    <property name="geometry"><rect><x>320</x><y>90</y><width>200</width><height>24</height></rect></property>
    <property name="text"><string>start</string></property>
   </widget>
   <widget class="QFrame" name="T_FRAME">
    <property name="geometry"><rect><x>100</x><y>200</y><width>200</width><height>100</height></rect></property>
    <widget class="QPushButton" name="T_INNER">
     <property name="geometry"><rect><x>10</x><y>20</y><width>80</width><height>30</height></rect></property>
     <property name="text"><string>INNER</string></property>
     <property name="callback" stdset="0"><string>CB</string></property>
    </widget>
   </widget>
   <widget class="QCustomPlot" name="T_GRAPH">
    <property name="geometry"><rect><x>320</x><y>130</y><width>300</width><height>150</height></rect></property>
    <property name="xMin" stdset="0"><double>1.0</double></property>
    <property name="xMax" stdset="0"><double>1024.0</double></property>
   </widget>
   <widget class="QCustomPlot" name="T_STRIP">
    <property name="geometry"><rect><x>320</x><y>300</y><width>300</width><height>150</height></rect></property>
    <property name="stripChart" stdset="0"><bool>true</bool></property>
   </widget>
   <widget class="QLabel" name="T_PICTURE">
    <property name="geometry"><rect><x>10</x><y>320</y><width>50</width><height>50</height></rect></property>
    <property name="picture" stdset="0"><bool>true</bool></property>
   </widget>
  </widget>
  <widget class="QWidget" name="P2">
   <property name="geometry"><rect><x>650</x><y>0</y><width>200</width><height>100</height></rect></property>
   <property name="windowTitle"><string>Second</string></property>
   <widget class="QPushButton" name="T_OTHER">
    <property name="geometry"><rect><x>10</x><y>10</y><width>80</width><height>30</height></rect></property>
    <property name="callback" stdset="0"><string>CB</string></property>
   </widget>
  </widget>
 </widget>
 <customwidgets>
  <customwidget>
   <class>QCustomPlot</class>
   <extends>QWidget</extends>
   <header>qcustomplot.h</header>
  </customwidget>
 </customwidgets>
</ui>
)";

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
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) {
        f.write(kForm);
    }
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
