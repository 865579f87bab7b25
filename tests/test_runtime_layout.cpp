// The layout reader and the in-memory panels built from it: every control
// kind, broken files, value coercion, attributes, graphs and dialogs.
#include "runtime/headless/headless.h"
#include "runtime/layout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace {

namespace rt = korven::rt;
using rt::CtrlKind;
using rt::Value;
using rt::ValueType;
using rt::headless::HeadlessBackend;
using rt::headless::HeadlessOptions;
using rt::headless::ScopedHeadless;

// ---- a small registry of its own --------------------------------------------
constexpr int T_BOX = 1, T_GO = 2, T_TOGGLE = 3, T_RADIO = 4, T_CHECK = 5, T_U16 = 6, T_COUNT = 7,
              T_GAIN = 8, T_RING = 9, T_MSG = 10, T_PIC = 11, T_TEXT = 12, T_GRAPH = 13,
              T_STRIP = 14, T_INNER = 15, S_ONLY = 50;

int gClicks = 0;
int gLastEvent = 0;
int Clicked(int, int, int event, void*, int, int) {
    ++gClicks;
    gLastEvent = event;
    return 0;
}
int PanelCb(int, int, void*, int, int) {
    return 0;
}

int TestPanel(std::string_view n) {
    return n == "MAIN" ? 1 : n == "SECOND" ? 2 : -1;
}
int TestControl(std::string_view n) {
    static const std::pair<std::string_view, int> kIds[] = {
        {"T_BOX", T_BOX},     {"T_GO", T_GO},       {"T_TOGGLE", T_TOGGLE}, {"T_RADIO", T_RADIO},
        {"T_CHECK", T_CHECK}, {"T_U16", T_U16},     {"T_COUNT", T_COUNT},   {"T_GAIN", T_GAIN},
        {"T_RING", T_RING},   {"T_MSG", T_MSG},     {"T_PIC", T_PIC},       {"T_TEXT", T_TEXT},
        {"T_GRAPH", T_GRAPH}, {"T_STRIP", T_STRIP}, {"T_INNER", T_INNER},   {"S_ONLY", S_ONLY},
    };
    for (const auto& [name, id] : kIds) {
        if (name == n) {
            return id;
        }
    }
    return -1;
}
CtrlCallbackPtr TestCtrlCallback(std::string_view n) {
    return n == "Clicked" ? &Clicked : nullptr;
}
PanelCallbackPtr TestPanelCallback(std::string_view n) {
    return n == "PanelCb" ? &PanelCb : nullptr;
}
const rt::LayoutRegistry kRegistry{&TestPanel, &TestControl, &TestCtrlCallback, &TestPanelCallback};

std::string Prop(const char* name, const char* value, bool dynamic = false) {
    return std::string("<property name=\"") + name + "\"" + (dynamic ? " stdset=\"0\"" : "") + ">" +
           value + "</property>";
}

const std::string kForm = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>Test</class>
 <widget class="QWidget" name="Test">
  <widget class="QWidget" name="MAIN">
   <property name="geometry"><rect><x>0</x><y>0</y><width>600</width><height>400</height></rect></property>
   <property name="windowTitle"><string>Main panel</string></property>
   <property name="callback" stdset="0"><string>PanelCb</string></property>
   <widget class="QGroupBox" name="T_BOX">
    <property name="geometry"><rect><x>10</x><y>20</y><width>300</width><height>300</height></rect></property>
    <property name="title"><string>Settings</string></property>
    <widget class="QSpinBox" name="T_INNER">
     <property name="geometry"><rect><x>5</x><y>7</y><width>50</width><height>20</height></rect></property>
    </widget>
    <layout class="QVBoxLayout" name="lay">
     <item>
      <widget class="QPushButton" name="T_GO">
       <property name="text"><string>Go</string></property>
       <property name="callback" stdset="0"><string>Clicked</string></property>
      </widget>
     </item>
    </layout>
   </widget>
   <widget class="QLabel" name="decoration"><property name="text"><string>just a caption</string></property></widget>
   <widget class="QPushButton" name="T_TOGGLE">
    <property name="checkable"><bool>true</bool></property>
    <property name="checked"><bool>true</bool></property>
    <property name="text"><string>Mode</string></property>
    <property name="onText" stdset="0"><string>ON</string></property>
    <property name="offText" stdset="0"><string>OFF</string></property>
    <property name="callback" stdset="0"><string>Clicked</string></property>
   </widget>
   <widget class="QRadioButton" name="T_RADIO"><property name="text"><string>RAM</string></property></widget>
   <widget class="QCheckBox" name="T_CHECK">
    <property name="checked"><bool>true</bool></property>
    <property name="enabled"><bool>false</bool></property>
   </widget>
   <widget class="QSpinBox" name="T_U16">
    <property name="minimum"><number>10</number></property>
    <property name="maximum"><number>1000</number></property>
    <property name="value"><number>500</number></property>
    <property name="dataType" stdset="0"><string>u16</string></property>
    <property name="label" stdset="0"><string>Power</string></property>
    <property name="callback" stdset="0"><string>Clicked</string></property>
   </widget>
   <widget class="QSpinBox" name="T_COUNT">
    <property name="readOnly"><bool>true</bool></property>
    <property name="dataType" stdset="0"><string>u16</string></property>
   </widget>
   <widget class="QDoubleSpinBox" name="T_GAIN">
    <property name="decimals"><number>3</number></property>
    <property name="minimum"><double>-1.5</double></property>
    <property name="maximum"><double>2.5</double></property>
    <property name="value"><double>0.25</double></property>
    <property name="visible"><bool>false</bool></property>
   </widget>
   <widget class="QComboBox" name="T_RING">
    <property name="currentIndex"><number>1</number></property>
    <property name="valueOffset" stdset="0"><number>1</number></property>
    <item><property name="text"><string>COM1</string></property></item>
    <item><property name="text"><string>COM2</string></property></item>
    <item><property name="text"><string>COM3</string></property></item>
   </widget>
   <widget class="QLabel" name="T_MSG"><property name="text"><string>Ready</string></property></widget>
   <widget class="QLabel" name="T_PIC"><property name="picture" stdset="0"><bool>true</bool></property></widget>
   <widget class="QPlainTextEdit" name="T_TEXT"><property name="plainText"><string>first
second</string></property></widget>
   <widget class="QCustomPlot" name="T_GRAPH"/>
   <widget class="QCustomPlot" name="T_STRIP"><property name="stripChart" stdset="0"><bool>true</bool></property></widget>
  </widget>
  <widget class="QWidget" name="SECOND">
   <property name="windowTitle"><string>Pop-up</string></property>
   <widget class="QLabel" name="S_ONLY"><property name="text"><string>second</string></property></widget>
  </widget>
  <widget class="QWidget" name="UNKNOWN_PANEL"/>
 </widget>
</ui>
)";

class Layout : public ::testing::Test {
  protected:
    void SetUp() override {
        previous = rt::CurrentLayoutRegistry();
        rt::SetLayoutRegistry(&kRegistry);
        gClicks = 0;
        gLastEvent = 0;
        dir =
            std::filesystem::temp_directory_path() /
            ("korven_layout_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        Write("form.uir", kForm);
        scope = std::make_unique<ScopedHeadless>(
            HeadlessOptions{0.001, 0.00005, 10.0 / 19200, dir.string()});
    }
    void TearDown() override {
        scope.reset();
        rt::SetLayoutRegistry(previous);
        std::filesystem::remove_all(dir);
    }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    HeadlessBackend& bed() { return scope->bed(); }
    int Load(int resource = 1) { return LoadPanel(0, "form.uir", resource); }

    const rt::LayoutRegistry* previous = nullptr;
    std::filesystem::path dir;
    std::unique_ptr<ScopedHeadless> scope;
};

TEST_F(Layout, ReadsEveryControlKind) {
    std::string error;
    auto layout = rt::ParseLayout(kForm, &error);
    ASSERT_TRUE(layout) << error;
    ASSERT_EQ(layout->panels.size(), 2u) << "unknown panels are skipped";
    const rt::LayoutPanel* main = layout->panel(1);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->title, "Main panel");
    EXPECT_EQ(main->callbackName, "PanelCb");
    EXPECT_EQ(main->geometry.width, 600);
    ASSERT_EQ(main->controls.size(), 15u) << "the caption label is decoration";

    auto get = [&](int id) -> const rt::LayoutControl& {
        for (const auto& c : main->controls) {
            if (c.id == id) {
                return c;
            }
        }
        ADD_FAILURE() << "no control " << id;
        return main->controls.front();
    };
    EXPECT_EQ(get(T_BOX).kind, CtrlKind::Container);
    EXPECT_EQ(get(T_BOX).label, "Settings");
    EXPECT_EQ(get(T_INNER).parentId, T_BOX);
    EXPECT_EQ(get(T_INNER).geometry.x, 15) << "geometry is relative to the panel";
    EXPECT_EQ(get(T_INNER).geometry.y, 27);
    EXPECT_EQ(get(T_GO).parentId, T_BOX) << "widgets inside layouts belong to the container";
    EXPECT_EQ(get(T_GO).kind, CtrlKind::Command);
    EXPECT_EQ(get(T_GO).label, "Go");
    EXPECT_EQ(get(T_GO).callbackName, "Clicked");

    const auto& toggle = get(T_TOGGLE);
    EXPECT_EQ(toggle.kind, CtrlKind::Toggle);
    EXPECT_EQ(toggle.initial.asInt(), 1);
    EXPECT_EQ(toggle.onText, "ON");
    EXPECT_EQ(toggle.offText, "OFF");
    EXPECT_EQ(get(T_RADIO).kind, CtrlKind::Radio);
    EXPECT_EQ(get(T_RADIO).initial.asInt(), 0);
    EXPECT_EQ(get(T_CHECK).kind, CtrlKind::Check);
    EXPECT_TRUE(get(T_CHECK).dimmed);

    const auto& u16 = get(T_U16);
    EXPECT_EQ(u16.kind, CtrlKind::Numeric);
    EXPECT_EQ(u16.valueType, ValueType::U16);
    EXPECT_TRUE(u16.hasRange);
    EXPECT_EQ(u16.minimum, 10);
    EXPECT_EQ(u16.maximum, 1000);
    EXPECT_EQ(u16.initial.kind, Value::Kind::Int);
    EXPECT_EQ(u16.initial.asInt(), 500);
    EXPECT_EQ(u16.label, "Power");
    EXPECT_TRUE(get(T_COUNT).readOnly);
    EXPECT_FALSE(get(T_COUNT).hasRange);

    const auto& gain = get(T_GAIN);
    EXPECT_EQ(gain.valueType, ValueType::Double);
    EXPECT_EQ(gain.decimals, 3);
    EXPECT_DOUBLE_EQ(gain.initial.asDouble(), 0.25);
    EXPECT_DOUBLE_EQ(gain.minimum, -1.5);
    EXPECT_FALSE(gain.visible);

    const auto& ring = get(T_RING);
    EXPECT_EQ(ring.kind, CtrlKind::Ring);
    EXPECT_EQ(ring.items, (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    EXPECT_EQ(ring.valueOffset, 1);
    EXPECT_EQ(ring.initial.asInt(), 2);

    EXPECT_EQ(get(T_MSG).kind, CtrlKind::TextMsg);
    EXPECT_EQ(get(T_MSG).initial.asText(), "Ready");
    EXPECT_EQ(get(T_PIC).kind, CtrlKind::Picture);
    EXPECT_EQ(get(T_TEXT).kind, CtrlKind::TextBox);
    EXPECT_EQ(get(T_TEXT).initial.asText(), "first\nsecond");
    EXPECT_EQ(get(T_GRAPH).kind, CtrlKind::Graph);
    EXPECT_EQ(get(T_STRIP).kind, CtrlKind::StripChart);
}

TEST_F(Layout, BrokenFormsAreRejectedWithAReason) {
    const std::string widgetOpen = "<ui version=\"4.0\"><widget class=\"QWidget\" name=\"T\">";
    const char* broken[] = {
        "",
        "not xml at all",
        "<ui><widget class=\"QWidget\" name=\"T\"><widget name=\"MAIN\"></widget>", // truncated
        "<form><widget class=\"QWidget\" name=\"MAIN\"/></form>",                   // wrong root
        "<ui version=\"4.0\"/>",                                                    // no widget
        "<ui version=\"4.0\"><widget class=\"QWidget\" name=\"T\"/></ui>",          // no panel
    };
    for (const char* text : broken) {
        std::string error;
        EXPECT_FALSE(rt::ParseLayout(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    // A dataType nobody knows, a range upside down, a control twice.
    const std::string bad[] = {
        widgetOpen + "<widget class=\"QWidget\" name=\"MAIN\"><widget class=\"QSpinBox\" " +
            "name=\"T_U16\">" + Prop("dataType", "<string>u17</string>", true) +
            "</widget></widget></widget></ui>",
        widgetOpen + "<widget class=\"QWidget\" name=\"MAIN\"><widget class=\"QSpinBox\" " +
            "name=\"T_U16\">" + Prop("minimum", "<number>9</number>") +
            Prop("maximum", "<number>1</number>") + "</widget></widget></widget></ui>",
        widgetOpen + "<widget class=\"QWidget\" name=\"MAIN\"><widget class=\"QLabel\" " +
            "name=\"T_MSG\"/><widget class=\"QLabel\" name=\"T_MSG\"/></widget></widget></ui>",
    };
    for (const auto& text : bad) {
        std::string error;
        EXPECT_FALSE(rt::ParseLayout(text, &error)) << text;
        EXPECT_FALSE(error.empty());
    }

    std::string error;
    EXPECT_FALSE(rt::ReadLayoutFile((dir / "missing.uir").string(), &error));
    EXPECT_NE(error.find("missing.uir"), std::string::npos);

    rt::SetLayoutRegistry(nullptr);
    EXPECT_FALSE(rt::ParseLayout(kForm, &error)) << "names mean nothing without a registry";
}

TEST_F(Layout, LoadPanelFailsCleanlyForEveryMissingPiece) {
    Write("broken.uir", kForm.substr(0, kForm.size() / 2));
    EXPECT_LT(LoadPanel(0, "nothing.uir", 1), 0);
    EXPECT_LT(LoadPanel(0, "broken.uir", 1), 0);
    EXPECT_LT(Load(3), 0) << "no such resource";
    EXPECT_LT(LoadPanel(99, "form.uir", 1), 0) << "no such parent";
    bed().failLoadPanel(2);
    EXPECT_LT(Load(2), 0);
    EXPECT_GT(Load(2), 0) << "only the next load fails";
    rt::SetLayoutRegistry(nullptr);
    EXPECT_LT(Load(1), 0);
    rt::SetLayoutRegistry(&kRegistry);
    // An absolute path ignores the project directory.
    EXPECT_GT(LoadPanel(0, (dir / "form.uir").string().c_str(), 1), 0);
}

TEST_F(Layout, LoadedPanelStartsHiddenWithItsValuesAndCallbacks) {
    const int p = Load();
    ASSERT_GT(p, 0);
    const int s = Load(2);
    ASSERT_GT(s, 0);
    EXPECT_NE(p, s);
    EXPECT_EQ(bed().panelHandle(2), s);
    EXPECT_FALSE(bed().panelVisible(p));
    EXPECT_EQ(DisplayPanel(p), 0);
    EXPECT_TRUE(bed().panelVisible(p));
    EXPECT_EQ(HidePanel(p), 0);
    EXPECT_FALSE(bed().panelVisible(p));
    EXPECT_EQ(bed().panel(p)->callback, &PanelCb);
    EXPECT_EQ(bed().panel(p)->title, "Main panel");

    EXPECT_EQ(bed().intValue(p, T_U16), 500);
    EXPECT_EQ(bed().text(p, T_MSG), "Ready");
    EXPECT_EQ(bed().ctrl(p, T_TEXT).lines, (std::vector<std::string>{"first", "second"}));
    EXPECT_TRUE(bed().hasControl(s, S_ONLY));
    EXPECT_FALSE(bed().hasControl(s, T_U16));

    EXPECT_EQ(DiscardPanel(s), 0);
    EXPECT_LT(DiscardPanel(s), 0);
    EXPECT_LT(SetCtrlVal(s, S_ONLY, "x"), 0);
    EXPECT_EQ(bed().panel(s), nullptr);
}

TEST_F(Layout, ValuesAreCoercedIntoTheControlsOwnType) {
    const int p = Load();
    ASSERT_GT(p, 0);
    // Range wins over everything.
    SetCtrlVal(p, T_U16, 5000);
    EXPECT_EQ(bed().intValue(p, T_U16), 1000);
    SetCtrlVal(p, T_U16, -3);
    EXPECT_EQ(bed().intValue(p, T_U16), 10);
    SetCtrlVal(p, T_U16, 99.9);
    EXPECT_EQ(bed().intValue(p, T_U16), 99) << "doubles truncate";
    // Without a range a u16 keeps the low 16 bits.
    SetCtrlVal(p, T_COUNT, 65536 + 7);
    EXPECT_EQ(bed().intValue(p, T_COUNT), 7);
    SetCtrlVal(p, T_COUNT, -1);
    EXPECT_EQ(bed().intValue(p, T_COUNT), 65535);
    SetCtrlVal(p, T_COUNT, "text");
    EXPECT_EQ(bed().intValue(p, T_COUNT), 0);
    // Binary controls hold 0 or 1.
    SetCtrlVal(p, T_RADIO, 42);
    EXPECT_EQ(bed().intValue(p, T_RADIO), 1);
    SetCtrlVal(p, T_TOGGLE, 0.0);
    EXPECT_EQ(bed().intValue(p, T_TOGGLE), 0);
    // Rings keep whatever number they are given.
    SetCtrlVal(p, T_RING, 17);
    EXPECT_EQ(bed().intValue(p, T_RING), 17);
    // Doubles clamp into their range.
    SetCtrlVal(p, T_GAIN, 7.0);
    EXPECT_DOUBLE_EQ(bed().doubleValue(p, T_GAIN), 2.5);
    // Text controls.
    SetCtrlVal(p, T_MSG, 12);
    EXPECT_EQ(bed().text(p, T_MSG), "12");
    SetCtrlVal(p, T_TEXT, "a\nb\nc");
    EXPECT_EQ(bed().ctrl(p, T_TEXT).lines.size(), 3u);
    EXPECT_EQ(ReplaceTextBoxLine(p, T_TEXT, 1, "B"), 0);
    EXPECT_EQ(ReplaceTextBoxLine(p, T_TEXT, 5, "F"), 0);
    EXPECT_EQ(bed().text(p, T_TEXT), "a\nB\nc\n\n\nF");
    EXPECT_LT(ReplaceTextBoxLine(p, T_TEXT, -1, "x"), 0);
    EXPECT_LT(ReplaceTextBoxLine(p, T_MSG, 0, "x"), 0);
    // No event is raised by code.
    EXPECT_EQ(gClicks, 0);
}

TEST_F(Layout, GetCtrlValConvertsIntoTheCallersType) {
    const int p = Load();
    ASSERT_GT(p, 0);
    SetCtrlVal(p, T_RING, 70000 + 5);
    unsigned short u = 0;
    EXPECT_EQ(GetCtrlVal(p, T_RING, &u), 0);
    EXPECT_EQ(u, 70000 + 5 - 65536);
    int i = 0;
    GetCtrlVal(p, T_GAIN, &i);
    EXPECT_EQ(i, 0);
    double d = 0;
    GetCtrlVal(p, T_U16, &d);
    EXPECT_EQ(d, 500.0);
    float f = 0;
    GetCtrlVal(p, T_GAIN, &f);
    EXPECT_FLOAT_EQ(f, 0.25f);

    const std::string longText(3000, 'x');
    SetCtrlVal(p, T_MSG, longText.c_str());
    std::vector<char> buf(1100, '#');
    EXPECT_EQ(GetCtrlVal(p, T_MSG, buf.data()), 0);
    EXPECT_EQ(std::string(buf.data()).size(), 1023u);
    EXPECT_EQ(buf[1024], '#') << "nothing written past 1024 bytes";

    EXPECT_LT(GetCtrlVal(p, 999, &i), 0);
    EXPECT_LT(GetCtrlVal(77, T_U16, &i), 0);
    EXPECT_LT(SetCtrlVal(p, T_MSG, static_cast<const char*>(nullptr)), 0);
}

TEST_F(Layout, AttributesAreKeptAndTheMeaningfulOnesApplied) {
    const int p = Load();
    ASSERT_GT(p, 0);
    EXPECT_EQ(SetCtrlAttribute(p, T_U16, ATTR_MAX_VALUE, 300), 0);
    EXPECT_EQ(bed().intValue(p, T_U16), 300) << "value re-coerced into the new range";
    SetCtrlAttribute(p, T_COUNT, ATTR_MIN_VALUE, 950);
    EXPECT_EQ(bed().intValue(p, T_COUNT), 950);
    SetCtrlVal(p, T_COUNT, 70000);
    EXPECT_EQ(bed().intValue(p, T_COUNT), 65535) << "the other end is the type's limit";

    SetCtrlAttribute(p, T_GO, ATTR_LABEL_TEXT, "Start");
    char label[1024] = {};
    GetCtrlAttribute(p, T_GO, ATTR_LABEL_TEXT, label);
    EXPECT_STREQ(label, "Start");
    SetCtrlAttribute(p, T_TOGGLE, ATTR_ON_TEXT, "mm");
    SetCtrlAttribute(p, T_TOGGLE, ATTR_OFF_TEXT, "inch");
    EXPECT_EQ(bed().ctrl(p, T_TOGGLE).onText, "mm");
    EXPECT_EQ(bed().ctrl(p, T_TOGGLE).offText, "inch");
    SetCtrlAttribute(p, T_MSG, ATTR_TEXT_COLOR, 0x123456);
    SetCtrlAttribute(p, T_MSG, ATTR_TEXT_FONT, VAL_APP_META_FONT);
    SetCtrlAttribute(p, T_MSG, ATTR_LEFT, 42);
    int v = 0;
    GetCtrlAttribute(p, T_MSG, ATTR_TEXT_COLOR, &v);
    EXPECT_EQ(v, 0x123456);
    GetCtrlAttribute(p, T_MSG, ATTR_LEFT, &v);
    EXPECT_EQ(v, 42);
    EXPECT_EQ(bed().ctrl(p, T_MSG).attributes.at(ATTR_TEXT_FONT).asText(), "NIApp");
    EXPECT_LT(SetCtrlAttribute(p, 999, ATTR_DIMMED, 1), 0);

    // Dimming or hiding a container reaches what is inside it.
    EXPECT_FALSE(bed().isDimmed(p, T_INNER));
    SetCtrlAttribute(p, T_BOX, ATTR_DIMMED, 1);
    EXPECT_TRUE(bed().isDimmed(p, T_INNER));
    EXPECT_FALSE(bed().ctrl(p, T_INNER).dimmed);
    SetCtrlAttribute(p, T_BOX, ATTR_VISIBLE, 0);
    EXPECT_FALSE(bed().isVisible(p, T_GO));
    EXPECT_FALSE(bed().isVisible(p, T_GAIN)) << "hidden in the form";
    EXPECT_TRUE(bed().isVisible(p, T_MSG));
}

TEST_F(Layout, OperatorActionsRaiseEventsOnlyOnReachableControls) {
    const int p = Load();
    ASSERT_GT(p, 0);
    EXPECT_TRUE(bed().click(p, T_TOGGLE));
    EXPECT_EQ(gClicks, 3) << "left click, value changed, commit";
    EXPECT_EQ(gLastEvent, EVENT_COMMIT);
    EXPECT_EQ(bed().intValue(p, T_TOGGLE), 0) << "a click flips a toggle";
    EXPECT_TRUE(bed().operate(p, T_U16, Value::ofInt(2000)));
    EXPECT_EQ(bed().intValue(p, T_U16), 1000);
    EXPECT_EQ(gClicks, 5);
    SetCtrlAttribute(p, T_BOX, ATTR_DIMMED, 1);
    EXPECT_FALSE(bed().click(p, T_GO));
    EXPECT_EQ(gClicks, 5);
    EXPECT_EQ(bed().fire(p, T_GO, EVENT_COMMIT), 0);
    EXPECT_EQ(gClicks, 6);
}

TEST_F(Layout, RunTimeControlsAndPictures) {
    const int p = Load();
    ASSERT_GT(p, 0);
    const int a = NewCtrl(p, CTRL_TEXT_MSG, "first", 10, 20);
    const int b = NewCtrl(p, CTRL_TEXT_MSG, "second", 30, 40);
    EXPECT_GE(a, 1000);
    EXPECT_NE(a, b);
    const auto made = bed().runtimeControls(p);
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[0]->id, a);
    EXPECT_EQ(made[1]->value.asText(), "second");
    EXPECT_EQ(made[1]->geometry.y, 30);
    EXPECT_TRUE(made[0]->createdAtRunTime);
    EXPECT_LT(NewCtrl(p, 999, "x", 0, 0), 0);
    EXPECT_LT(NewCtrl(77, CTRL_TEXT_MSG, "x", 0, 0), 0);
    EXPECT_EQ(DisplayImageFile(p, T_PIC, "logo.png"), 0);
    EXPECT_EQ(bed().ctrl(p, T_PIC).imageFile, "logo.png");
    EXPECT_LT(DisplayImageFile(p, T_MSG, "logo.png"), 0);
}

TEST_F(Layout, GraphsAreRecordedAsDisplayLists) {
    const int p = Load();
    ASSERT_GT(p, 0);
    const unsigned short y16[3] = {1, 2, 65535};
    const double x[3] = {0.5, 1.5, 2.5};
    const int h1 =
        PlotXY(p, T_GRAPH, x, y16, 3, VAL_DOUBLE, VAL_UNSIGNED_SHORT_INTEGER, 0, 0, 0, 1, VAL_RED);
    const float yf[3] = {1.5f, 2.5f, 3.5f};
    const int xi[3] = {-1, 0, 1};
    const int h2 = PlotXY(p, T_GRAPH, xi, yf, 3, VAL_INTEGER, VAL_FLOAT, 0, 0, 0, 1, VAL_GREEN);
    const int h3 = PlotRectangle(p, T_GRAPH, 1, 2, 3, 4, VAL_BLACK, VAL_WHITE);
    auto& g = bed().graph(p, T_GRAPH);
    ASSERT_EQ(g.plots.size(), 3u);
    EXPECT_EQ(g.plots[0].y[2], 65535.0);
    EXPECT_EQ(g.plots[1].x[0], -1.0);
    EXPECT_EQ(g.plots[1].y[1], 2.5);
    EXPECT_EQ(g.plots[2].kind, rt::headless::PlotItem::Kind::Rectangle);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(DeleteGraphPlot(p, T_GRAPH, h2, VAL_DELAYED_DRAW), 0);
    ASSERT_EQ(g.plots.size(), 2u);
    EXPECT_EQ(g.plots[1].handle, h3);
    EXPECT_EQ(DeleteGraphPlot(p, T_GRAPH, -1, VAL_NO_DRAW), 0);
    EXPECT_TRUE(g.plots.empty());
    EXPECT_EQ(g.deleteCalls, 2);
    EXPECT_EQ(g.lastDeleteRefresh, VAL_NO_DRAW);
    EXPECT_LT(PlotXY(p, T_GRAPH, x, y16, 3, VAL_STRING, VAL_DOUBLE, 0, 0, 0, 1, 0), 0);
    EXPECT_LT(PlotXY(p, T_MSG, x, x, 3, VAL_DOUBLE, VAL_DOUBLE, 0, 0, 0, 1, 0), 0);

    EXPECT_EQ(SetGraphCursor(p, T_GRAPH, 3, 7.0, 8.0), 0);
    EXPECT_TRUE(g.cursors[2].placed);
    EXPECT_EQ(g.cursors[2].x, 7.0);
    EXPECT_LT(SetGraphCursor(p, T_GRAPH, 4, 0, 0), 0);
    EXPECT_EQ(SetAxisScalingMode(p, T_GRAPH, VAL_XAXIS, VAL_MANUAL, 1.0, 8192.0), 0);
    EXPECT_EQ(g.xAxis.mode, VAL_MANUAL);
    EXPECT_EQ(g.xAxis.max, 8192.0);
    EXPECT_EQ(g.xAxis.setCount, 1);
    EXPECT_EQ(g.yAxis.setCount, 0);
}

TEST_F(Layout, StripChartKeepsTheLastScreenOfEachTrace) {
    const int p = Load();
    ASSERT_GT(p, 0);
    SetCtrlAttribute(p, T_STRIP, ATTR_NUM_TRACES, 2);
    SetCtrlAttribute(p, T_STRIP, ATTR_POINTS_PER_SCREEN, 3);
    SetTraceAttribute(p, T_STRIP, 2, ATTR_TRACE_COLOR, VAL_RED);
    auto& g = bed().graph(p, T_STRIP);
    EXPECT_EQ(g.traceColors[2], VAL_RED);
    for (unsigned v = 0; v < 5; ++v) {
        const unsigned pair[2] = {v, 100 + v};
        ASSERT_EQ(PlotStripChart(p, T_STRIP, pair, 2, 0, 0, VAL_UNSIGNED_INTEGER), 0);
    }
    EXPECT_EQ(g.stripCalls, 5);
    EXPECT_EQ(g.lastStripData, (std::vector<double>{4, 104}));
    ASSERT_EQ(g.traces.size(), 2u);
    EXPECT_EQ(std::vector<double>(g.traces[0].begin(), g.traces[0].end()),
              (std::vector<double>{2, 3, 4}));
    EXPECT_EQ(std::vector<double>(g.traces[1].begin(), g.traces[1].end()),
              (std::vector<double>{102, 103, 104}));
}

TEST_F(Layout, ScheduledActionsRunInsideEventProcessing) {
    std::vector<int> order;
    bed().at(0.0105, [&] { order.push_back(1); });
    bed().at(0.0005, [&] {
        order.push_back(0);
        // An action may process events itself; it is already off the queue.
        ProcessSystemEvents();
    });
    Delay(1.0);
    EXPECT_TRUE(order.empty()) << "Delay runs no actions";
    ProcessSystemEvents();
    EXPECT_EQ(order, (std::vector<int>{0, 1}));

    bed().after(5.0, [] { QuitUserInterface(7); });
    EXPECT_EQ(RunUserInterface(), 7);
    EXPECT_EQ(RunUserInterface(), -1) << "nothing left to wait for";
    bed().setEventLoopLimit(1.0);
    bed().after(100.0, [] { QuitUserInterface(1); });
    EXPECT_EQ(RunUserInterface(), -1);
}

TEST_F(Layout, FileDialogAnswersFromItsQueue) {
    char path[MAX_PATHNAME_LEN] = "unchanged";
    EXPECT_EQ(
        FileSelectPopup("/d", "KRVNpara.dat", "*.dat", "Title", VAL_LOAD_BUTTON, 0, 1, 1, 1, path),
        VAL_NO_FILE_SELECTED);
    EXPECT_STREQ(path, "unchanged");
    bed().queueFileDialog({VAL_EXISTING_FILE_SELECTED, std::string(400, 'p')});
    // A path longer than the buffer is refused, never cut to another one.
    EXPECT_LT(
        FileSelectPopup("/d", "KRVNpara.dat", "*.dat", "Title", VAL_OK_BUTTON, 0, 1, 1, 1, path),
        0);
    EXPECT_STREQ(path, "unchanged");
    ASSERT_EQ(bed().fileDialogs().size(), 2u);
    EXPECT_EQ(bed().fileDialogs()[0].title, "Title");
    EXPECT_EQ(bed().fileDialogs()[0].buttonLabel, VAL_LOAD_BUTTON);
    EXPECT_TRUE(bed().fileDialogs()[1].restrictExtension);
    EXPECT_FALSE(bed().fileDialogs()[1].restrictDirectory);
    char project[MAX_PATHNAME_LEN] = {};
    EXPECT_EQ(GetProjectDir(project), 0);
    EXPECT_EQ(std::string(project), dir.string());
}

} // namespace
