// The layout reader and the program's own layout file: every control the
// logic uses is on the right panel with the right kind, type, start value and
// container, the panels are laid out without controls covering each other,
// and broken forms are refused. Then the in-memory panels built from that
// file: value coercion, attributes, operator events, graphs and dialogs.
#include "support/bed.h"

#include "app/KORVENDarir23.h"
#include "app/KORVENDarir23_uir.h"
#include "app/registry.h"
#include "runtime/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <variant>

namespace korven::test {
namespace {

using rt::CtrlKind;
using rt::LayoutControl;
using rt::Value;

struct Expected {
    int resource;
    const char* name;
    int id;
};
#define KORVEN_EXPECTED(resource, name, id) {resource, #name, id},
constexpr Expected kAll[] = {KORVEN_LAYOUT_CONTROLS(KORVEN_EXPECTED)};
#undef KORVEN_EXPECTED

int gClicks = 0;
int gLastEvent = 0;
int Clicked(int, int, int event, void*, int, int) {
    ++gClicks;
    gLastEvent = event;
    return 0;
}

// A form with one panel around the given controls, in the program's names.
std::string Form(const std::string& controls) {
    return "<ui version=\"4.0\"><widget class=\"QWidget\" name=\"T\">"
           "<widget class=\"QWidget\" name=\"PANEL\">" +
           controls + "</widget></widget></ui>";
}

// A widget of the given class, name and place, with a stretch and children.
std::string Placed(const std::string& cls, const std::string& name, int x, int y, int w, int h,
                   const std::string& stretch, const std::string& children = "") {
    std::ostringstream out;
    out << "<widget class=\"" << cls << "\" name=\"" << name
        << "\"><property name=\"geometry\"><rect><x>" << x << "</x><y>" << y << "</y><width>" << w
        << "</width><height>" << h << "</height></rect></property><property name=\"stretch\" "
        << "stdset=\"0\"><string>" << stretch << "</string></property>" << children << "</widget>";
    return out.str();
}

// A status line that follows its parent's growth as `stretch` says.
std::string Stretched(const std::string& stretch) {
    return "<widget class=\"QLabel\" name=\"PANEL_STATUS\"><property name=\"stretch\" "
           "stdset=\"0\"><string>" +
           stretch + "</string></property></widget>";
}

// What a row of the control table states about a control, as one line:
// kind, value type, start value (doubles marked with ~, texts quoted), range,
// ring items and value offset, decimals, state texts, and whether it starts
// read-only, dimmed or hidden.
std::string Facts(const LayoutControl& c) {
    static const char* const kKinds[] = {"command", "toggle", "radio", "check",
                                         "numeric", "ring",   "text",  "picture",
                                         "textbox", "box",    "graph", "strip"};
    static const char* const kTypes[] = {"-", "u16", "int", "u32", "double", "float", "string"};
    std::ostringstream out;
    const char* mark = c.initial.kind == Value::Kind::Double ? "~" : "";
    const char* quote = c.initial.kind == Value::Kind::Text ? "'" : "";
    out << std::setprecision(12) << kKinds[static_cast<int>(c.kind)] << ' '
        << kTypes[static_cast<int>(c.valueType)] << ' ' << mark << quote << c.initial.asText()
        << quote;
    if (c.hasRange) {
        out << " [" << c.minimum << ',' << c.maximum << ']';
    }
    const std::pair<bool, std::string> extras[] = {
        {!c.items.empty(), " items " + std::to_string(c.items.size())},
        {c.valueOffset != 0, " from " + std::to_string(c.valueOffset)},
        {c.decimals != 0, " ." + std::to_string(c.decimals)},
        {!c.onText.empty() || !c.offText.empty(), ' ' + c.onText + '/' + c.offText},
        {c.readOnly, " ro"},
        {c.dimmed, " dim"},
        {!c.visible, " hidden"}};
    for (const auto& [shown, text] : extras) {
        out << (shown ? text : "");
    }
    return out.str();
}

class LayoutFile : public Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        // The program's panels, as most tests here work on them.
        LoadPanels();
        p = pHandle;
        gClicks = gLastEvent = 0;
        std::string error;
        auto layout = rt::ReadLayoutFile(KORVEN_SOURCE_DIR "/app/KORVENDarir23.uir", &error);
        ASSERT_TRUE(layout.has_value()) << error;
        layout_ = std::move(*layout);
    }

    const LayoutControl& ctrl(int id) const {
        for (const auto& panel : layout_.panels) {
            for (const auto& c : panel.controls) {
                if (c.id == id) {
                    return c;
                }
            }
        }
        ADD_FAILURE() << "control " << id << " missing";
        static const LayoutControl none;
        return none;
    }

    rt::Layout layout_;
    int p = 0;
};

TEST_F(LayoutFile, EveryControlIsOnItsPanelOnceWithAResolvableCallbackAndLoads) {
    ASSERT_NE(layout_.panel(PANEL), nullptr);
    ASSERT_NE(layout_.panel(POPUP), nullptr);
    EXPECT_EQ(layout_.panel(PANEL)->title, "KORVEN-Darir");
    EXPECT_EQ(layout_.panel(POPUP)->title, "KORVEN-Darir Calibration");
    // The panels' callbacks are raised by the program's start-up and pop-up
    // tests.

    // The loaded panels hold the same controls.
    EXPECT_EQ(bed().panelHandle(PANEL), pHandle);
    EXPECT_EQ(bed().panelHandle(POPUP), pPopup);
    EXPECT_FALSE(bed().panelVisible(pHandle)) << "panels start hidden";
    const int handles[] = {0,
                           pHandle,
                           pPopup,
                           LoadPanel(0, "KORVENDarir23.uir", COMPARE),
                           LoadPanel(0, "KORVENDarir23.uir", REPORT),
                           LoadPanel(0, "KORVENDarir23.uir", MQTT)};
    ASSERT_TRUE(handles[COMPARE] > 0 && handles[REPORT] > 0 && handles[MQTT] > 0);
    for (const Expected& e : kAll) {
        const int handle = handles[e.resource];
        EXPECT_TRUE(bed().hasControl(handle, e.id)) << e.name;
        const auto& all = layout_.panel(e.resource)->controls;
        EXPECT_EQ(std::count_if(all.begin(), all.end(), [&](auto& c) { return c.id == e.id; }), 1)
            << e.name;
        const LayoutControl& c = ctrl(e.id);
        EXPECT_EQ(c.name, e.name);
        if (!c.callbackName.empty()) {
            EXPECT_NE(KorvenLayoutRegistry().ctrlCallback(c.callbackName), nullptr)
                << e.name << " names unknown callback " << c.callbackName;
            // Callbacks are named after their control.
            const std::string stem = std::string(e.name).substr(std::string(e.name).find('_') + 1);
            EXPECT_EQ(c.callbackName, "CC_" + stem);
        }
    }
    // The caption labels are decoration, not controls.
    std::size_t total = 0;
    for (const auto& panel : layout_.panels) {
        total += panel.controls.size();
    }
    EXPECT_EQ(total, std::size(kAll));
    // Loaded with their title and values; a discarded panel is gone. The
    // program's tests show and hide the panels and raise their events.
    EXPECT_EQ(bed().panel(p)->title, "KORVEN-Darir");
    EXPECT_EQ(bed().intValue(p, PANEL_NUMPower), 500);
    EXPECT_EQ(bed().ctrl(pPopup, POPUP_TEXTBOXSensor).lines, (std::vector<std::string>{"", ""}));
    EXPECT_FALSE(bed().hasControl(pPopup, PANEL_NUMPower));

    EXPECT_EQ(DiscardPanel(pPopup), 0);
    EXPECT_LT(DiscardPanel(pPopup), 0);
    EXPECT_LT(SetCtrlVal(pPopup, POPUP_NUMSlope, 2.0), 0);
    EXPECT_EQ(bed().panel(pPopup), nullptr);

    // The window entries react too; every other control that reacts is
    // operated through its callback by the program's tests.
    for (int id : {PANEL_NEDITEdgeLeft, PANEL_NEDITEdgeRight}) {
        EXPECT_FALSE(ctrl(id).callbackName.empty()) << ctrl(id).name;
    }
}

TEST_F(LayoutFile, EveryControlStartsAsTheProgramExpects) {
    // The parameter controls start at the defaults the program stores, so
    // reading the panel at start-up changes nothing; rings hold one item for
    // every value the program may write; indicators are read-only; u16
    // ranges fit the sensor's words (slope 65534 / 1024, offset 30000 at
    // most); the analogue output and the calibration steps start dimmed
    // until the sensor and the workflow enable them; STOP, the port
    // selector and the calibration toggle are never dimmed.
    const std::pair<const char*, std::vector<int>> groups[] = {
        {"box - 0", {PANEL_HEADER, PANEL_LOOPLOCK_B, PANEL_LOOPLOCK_A, PANEL_LOOPUNLOCK}},
        {"picture - 0 ro", {PANEL_LOGO}},
        {"numeric u16 500 [0,1000]", {PANEL_NUMPower}},
        {"ring u16 0 items 2", {PANEL_DropRs232Mode}},
        {"numeric u16 512 [0,1023]", {PANEL_NUMVideoThreshold}},
        {"ring u16 0 items 8 dim", {PANEL_DropAnaMode}},
        {"ring u16 1 items 2", {PANEL_DropPolarity}},
        {"ring u16 1 items 5", {PANEL_DropEvalMode}},
        {"numeric u16 1 [0,65535]", {PANEL_NEDITEdgeLeft, PANEL_NUMDeltaTol}},
        {"numeric u16 1024 [0,65535]", {PANEL_NEDITEdgeRight}},
        {"numeric u16 512 [0,65535]", {PANEL_NUMTeachValue}},
        {"numeric u16 100 [0,65535]", {PANEL_NEDITTolerance}},
        {"toggle u16 0 HI-GAIN/LO-GAIN", {PANEL_TOGGBTN_OpMode}},
        {"ring u16 1 items 4", {PANEL_DropEHardware}},
        {"numeric u16 0 [0,1024]", {PANEL_NUMAverage}},
        {"radio int 1", {PANEL_RBTRam}},
        {"radio int 0", {PANEL_RBTEeprom, PANEL_RBTFile}},
        {"ring int 1 items 8 from 1", {PANEL_DropDCom}},
        {"graph - 0", {PANEL_GRAPH_VIDEO, PANEL_GRAPH_EDGES}},
        {"strip - 0 hidden", {PANEL_GRAPH_RAW}},
        {"numeric u16 0 [0,65535] ro",
         {PANEL_NUMLedge, PANEL_NUMRedge, PANEL_NUMMValue, PANEL_NUMMValueB}},
        {"numeric u16 100 [0,65535] ro", {PANEL_NUMTolDisplay}},
        {"numeric int 0 [-2147483648,2147483647] ro",
         {PANEL_NUMUmValue, POPUP_NUMPixel1, POPUP_NUMPixel2}},
        {"numeric u16 0 [0,65535] ro dim", {PANEL_NUMAnaMax, PANEL_NUMAnaMin}},
        {"command - 0 dim",
         {PANEL_ButtonReset, POPUP_ButtonAcceptObject1, POPUP_ButtonAcceptObject2,
          POPUP_ButtonDoFit, POPUP_ButtonSaveCalValues}},
        {"command - 0",
         {PANEL_BTNRun, PANEL_BTNVideo, PANEL_BTNSend, PANEL_BTNGet, PANEL_ButtonTeach,
          PANEL_BTNStop, PANEL_BTNStatReset, PANEL_BTNCompare, PANEL_BTNReport, PANEL_BTNMqtt,
          POPUP_ActivateCalibration, POPUP_DiscardCalibration, COMPARE_BTNReadSensor,
          COMPARE_BTNReadFile, REPORT_BTNTakeObject1, REPORT_BTNTakeObject2,
          REPORT_BTNWriteReport}},
        {"toggle int 0", {PANEL_TOGGBTN_Zoom, PANEL_TOGGBTN_ParaII}},
        {"toggle int 0 REC ON/REC", {PANEL_TOGGBTN_Rec}},
        {"text string '' ro", {PANEL_RecInfo, PANEL_STATUS}},
        // The MQTT settings: one-line entries, off until switched on.
        {"text string ''",
         {MQTT_STRUrl, MQTT_STRUser, MQTT_STRPassword, MQTT_STRStation, MQTT_STRPrefix}},
        {"numeric int 0 [0,25]", {MQTT_NUMRate}},
        {"toggle int 0 MQTT ON/MQTT OFF", {MQTT_TOGGBTN_MqttOn}},
        {"text string 'MQTT is off' ro", {MQTT_STATUS}},
        {"textbox string '' ro",
         {PANEL_TEXTBOXStatistics, PANEL_TEXTBOXHistory, COMPARE_TEXTBOXTable,
          REPORT_TEXTBOXSummary}},
        {"textbox string '\n' ro", {POPUP_TEXTBOXSensor}},
        {"textbox string ''", {REPORT_TEXTOperator, REPORT_TEXTReference}},
        {"numeric double ~10 [0,100000] .1", {REPORT_NUMTolerance}},
        {"check int 0 dim", {POPUP_CheckStep1, POPUP_CheckStep2}},
        {"numeric int 7960 [0,65535]", {POPUP_NEDITObject1}},
        {"numeric int 21960 [0,65535]", {POPUP_NEDITObject2}},
        {"numeric double ~0 [-1000000000,1000000000] .6 ro", {POPUP_NUMFitSlope}},
        {"numeric double ~0 [-1000000000,1000000000] .2 ro", {POPUP_NUMFitOffset}},
        {"numeric float ~1 [0,63.998046] .6", {POPUP_NUMSlope}},
        {"numeric float ~0 [-30000,30000] .2", {POPUP_NUMOffset}}};
    std::size_t count = 0;
    for (const auto& [facts, ids] : groups) {
        for (const int id : ids) {
            EXPECT_EQ(Facts(ctrl(id)), facts) << ctrl(id).name;
        }
        count += ids.size();
    }
    EXPECT_EQ(count, std::size(kAll)) << "every control has its row";
    EXPECT_EQ(ctrl(PANEL_DropRs232Mode).items, (std::vector<std::string>{"0", "1"}));
    EXPECT_EQ(ctrl(PANEL_NUMPower).label, "Power");
    // A button's label is its text; geometry counts from the panel, through
    // the group box and the frame around the button.
    EXPECT_EQ(ctrl(PANEL_BTNRun).label, "RUN");
    EXPECT_EQ(std::pair(ctrl(PANEL_BTNRun).geometry.x, ctrl(PANEL_BTNRun).geometry.y),
              std::pair(10 + 8 + 2, 582 + 24 + 2));
}

TEST_F(LayoutFile, TheLoopLocksHoldWhatALoopDimsAndLeaveStopOperable) {
    // Each control sits in exactly its lock container; STOP, the port
    // selector and the calibration toggle stay usable while a loop runs.
    const std::set<int> locks = {PANEL_LOOPLOCK_A, PANEL_LOOPLOCK_B, PANEL_LOOPUNLOCK};
    const std::pair<std::set<int>, std::vector<int>> rows[] = {
        {{PANEL_LOOPLOCK_A},
         {PANEL_BTNRun, PANEL_BTNVideo, PANEL_BTNSend, PANEL_BTNGet, PANEL_ButtonTeach}},
        {{PANEL_LOOPLOCK_B}, {PANEL_RBTRam, PANEL_RBTEeprom, PANEL_RBTFile}},
        {{PANEL_LOOPUNLOCK}, {PANEL_TOGGBTN_Zoom}},
        {{}, {PANEL_BTNStop, PANEL_DropDCom, PANEL_TOGGBTN_ParaII}}};
    for (const auto& [expected, ids] : rows) {
        for (const int id : ids) {
            std::set<int> in; // the locks among the containers around it
            for (int box = ctrl(id).parentId; box != 0; box = ctrl(box).parentId) {
                if (locks.count(box)) {
                    in.insert(box);
                }
            }
            EXPECT_EQ(in, expected) << ctrl(id).name;
        }
    }
}

TEST_F(LayoutFile, GraphsAndPanelGeometryAreSoundAtEverySize) {
    // The program swaps the two graphs in the same place.
    const auto& raw = ctrl(PANEL_GRAPH_RAW).geometry;
    const auto& video = ctrl(PANEL_GRAPH_VIDEO).geometry;
    EXPECT_EQ(std::tie(raw.x, raw.y, raw.width, raw.height),
              std::tie(video.x, video.y, video.width, video.height));

    // The main panel fits a 1366 x 768 screen whole (with a window frame
    // and a task bar), so only smaller screens need to scroll it.
    const auto& main = layout_.panel(PANEL)->geometry;
    EXPECT_LE(main.width, 1350);
    EXPECT_LE(main.height, 690);
    EXPECT_TRUE(layout_.panel(PANEL)->resizable);
    EXPECT_FALSE(layout_.panel(POPUP)->resizable);

    for (const auto& panel : layout_.panels) {
        const auto& pg = panel.geometry;
        // Smaller than designed counts as designed; then a little, a full-HD
        // screen's and a 4K screen's worth larger.
        const std::pair<int, int> sizes[] = {{pg.width, pg.height},
                                             {100, 100},
                                             {pg.width + 1, pg.height + 1},
                                             {1920, 1050},
                                             {3840, 2100}};
        for (const auto& [width, height] : sizes) {
            std::map<std::string, rt::Rect> at;
            for (const rt::Placement& placed : rt::ArrangeForm(*panel.form, width, height)) {
                at[placed.name] = placed.inPanel;
            }
            const int w = std::max(width, pg.width), h = std::max(height, pg.height);
            std::vector<const LayoutControl*> leaves;
            for (const auto& c : panel.controls) {
                const auto& g = at[c.name];
                EXPECT_TRUE(g.width > 0 && g.height > 0 && g.x >= 0 && g.y >= 0) << c.name;
                EXPECT_TRUE(g.x + g.width <= w && g.y + g.height <= h)
                    << c.name << " sticks out of " << panel.name << " at " << width << "x"
                    << height;
                if (c.kind != CtrlKind::Container && c.id != PANEL_GRAPH_RAW &&
                    c.id != PANEL_LOGO) {
                    leaves.push_back(&c);
                }
            }
            // No two controls cover each other (the raw graph shares the
            // video graph's place; the logo sits on the header box).
            for (std::size_t i = 0; i < leaves.size(); ++i) {
                for (std::size_t j = i + 1; j < leaves.size(); ++j) {
                    const auto& a = at[leaves[i]->name];
                    const auto& b = at[leaves[j]->name];
                    const bool overlap = a.x < b.x + b.width && b.x < a.x + a.width &&
                                         a.y < b.y + b.height && b.y < a.y + a.height;
                    EXPECT_FALSE(overlap) << leaves[i]->name << " overlaps " << leaves[j]->name
                                          << " at " << width << "x" << height;
                }
            }
            if (panel.resourceId != PANEL) {
                continue;
            }
            // All the room gained goes to the graphs; the header spans the
            // top, the right column keeps to the right edge and the status
            // line to the bottom, at their designed margins.
            const int dx = w - pg.width, dy = h - pg.height;
            const auto& graph = at["PANEL_GRAPH_VIDEO"];
            const auto& edges = at["PANEL_GRAPH_EDGES"];
            EXPECT_EQ(std::tuple(graph.width, graph.height + edges.height),
                      std::tuple(video.width + dx,
                                 video.height + ctrl(PANEL_GRAPH_EDGES).geometry.height + dy));
            EXPECT_EQ(std::tuple(at["PANEL_HEADER"].x, at["PANEL_HEADER"].width), std::tuple(0, w));
            const auto& status = at["PANEL_STATUS"];
            const auto& designedStatus = ctrl(PANEL_STATUS).geometry;
            EXPECT_EQ(h - (status.y + status.height),
                      pg.height - (designedStatus.y + designedStatus.height));
            const auto& compare = at["PANEL_BTNCompare"];
            const auto& designedCompare = ctrl(PANEL_BTNCompare).geometry;
            EXPECT_EQ(w - compare.x, pg.width - designedCompare.x);
        }
    }
}

TEST_F(LayoutFile, StretchSharesTheGainOfTheParentAndKeepsNeighboursApart) {
    // A 100 x 50 panel; a box that takes all the gained width and half the
    // height holds two halves side by side and a button that keeps to its
    // right edge; a label that moves down by a third of the gain.
    const std::string form =
        "<ui version=\"4.0\"><widget class=\"QWidget\" name=\"T\"><widget class=\"QWidget\" "
        "name=\"PANEL\"><property name=\"geometry\"><rect><x>0</x><y>0</y><width>100</width>"
        "<height>50</height></rect></property>" +
        Placed("QFrame", "box", 0, 0, 100, 40, "w=1 h=0.5",
               Placed("QFrame", "left", 0, 0, 49, 40, "w=0.5") +
                   Placed("QFrame", "right", 51, 0, 49, 40, "x=0.5 w=0.5") +
                   Placed("QPushButton", "button", 80, 5, 10, 10, "x=1")) +
        Placed("QLabel", "label", 0, 40, 100, 10, "y=0.333", "") + "</widget></widget></ui>";
    std::string error;
    const auto layout = rt::ParseLayout(form, &error);
    ASSERT_TRUE(layout) << error;
    const auto rects = [&](int width, int height) {
        std::map<std::string, std::tuple<int, int, int, int>> at;
        for (const auto& placed : rt::ArrangeForm(*layout->panels[0].form, width, height)) {
            at[placed.name] = {placed.inPanel.x, placed.inPanel.y, placed.inPanel.width,
                               placed.inPanel.height};
        }
        return at;
    };
    using R = std::tuple<int, int, int, int>;
    // Designed, shrunk (stays designed), and grown by odd amounts: the
    // halves share 11 px as 5 + 6 and keep their 2 px gap.
    for (const auto& [w, h] : {std::pair(100, 50), std::pair(10, 10)}) {
        auto at = rects(w, h);
        EXPECT_EQ(at["box"], R(0, 0, 100, 40));
        EXPECT_EQ(at["label"], R(0, 40, 100, 10));
    }
    auto at = rects(111, 80);
    EXPECT_EQ(at["box"], R(0, 0, 111, 55));
    EXPECT_EQ(at["left"], R(0, 0, 55, 40));
    EXPECT_EQ(at["right"], R(57, 0, 54, 40));
    EXPECT_EQ(at["button"], R(91, 5, 10, 10));
    EXPECT_EQ(at["label"], R(0, 50, 100, 10));
    EXPECT_TRUE(layout->panels[0].resizable);
}

TEST_F(LayoutFile, FormsOutsideTheRulesAreReadOrRejectedAndLoadPanelFailsCleanly) {
    // Unknown panels are skipped; a widget inside a layout belongs to the
    // container around the layout; a group box's label is its title; a
    // checked toggle and a label's text start as such.
    std::string error;
    const std::string good =
        "<ui version=\"4.0\"><widget class=\"QWidget\" name=\"T\"><widget class=\"QWidget\" "
        "name=\"PANEL\"><widget class=\"QGroupBox\" name=\"PANEL_LOOPLOCK_A\"><property "
        "name=\"title\"><string>Settings</string></property><layout class=\"QVBoxLayout\" "
        "name=\"lay\"><item><widget class=\"QPushButton\" name=\"PANEL_BTNRun\"/></item></layout>"
        "</widget><widget class=\"QPushButton\" name=\"PANEL_TOGGBTN_Zoom\"><property "
        "name=\"checkable\"><bool>true</bool></property><property name=\"checked\"><bool>true"
        "</bool></property></widget><widget class=\"QLabel\" name=\"PANEL_STATUS\"><property "
        "name=\"text\"><string>Ready</string></property></widget></widget>"
        "<widget class=\"QWidget\" name=\"UNKNOWN_PANEL\"/></widget></ui>";
    const auto form = rt::ParseLayout(good, &error);
    ASSERT_TRUE(form) << error;
    ASSERT_EQ(form->panels.size(), 1u);
    const auto& made = form->panels[0].controls;
    ASSERT_EQ(made.size(), 4u);
    EXPECT_EQ(std::tuple(made[0].label, made[1].parentId, made[2].kind, made[2].initial.asInt(),
                         made[3].initial.asText()),
              std::tuple("Settings", PANEL_LOOPLOCK_A, CtrlKind::Toggle, 1, "Ready"));

    const std::string spin = "<widget class=\"QSpinBox\" name=\"PANEL_NUMPower\">";
    const std::string broken[] = {
        "",
        "not xml at all",
        "<ui><widget class=\"QWidget\" name=\"T\"><widget name=\"PANEL\"></widget>", // truncated
        "<form><widget class=\"QWidget\" name=\"PANEL\"/></form>",                   // wrong root
        "<ui version=\"4.0\"/>",                                                     // no widget
        "<ui version=\"4.0\"><widget class=\"QWidget\" name=\"T\"/></ui>",           // no panel
        // A dataType nobody knows, a range upside down, a control twice.
        Form(spin + "<property name=\"dataType\" stdset=\"0\"><string>u17</string></property>" +
             "</widget>"),
        Form(spin + "<property name=\"minimum\"><number>9</number></property>" +
             "<property name=\"maximum\"><number>1</number></property></widget>"),
        Form("<widget class=\"QLabel\" name=\"PANEL_STATUS\"/>"
             "<widget class=\"QLabel\" name=\"PANEL_STATUS\"/>"),
        // Stretches that are not shares from 0 to 1 of a known side, and one
        // inside a container that does not grow.
        Form(Stretched("x=1.5")),
        Form(Stretched("x=-0.5")),
        Form(Stretched("q=1")),
        Form(Stretched("w=")),
        Form(Stretched("w=half")),
        Form(Stretched("xx=1")),
        Form("<widget class=\"QFrame\" name=\"box\">" + Stretched("x=1") + "</widget>"),
    };
    for (const auto& text : broken) {
        EXPECT_FALSE(rt::ParseLayout(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        error.clear();
    }
    EXPECT_FALSE(rt::ReadLayoutFile("/nonexistent/missing.uir", &error));
    EXPECT_NE(error.find("missing.uir"), std::string::npos);

    // LoadPanel fails cleanly for every missing piece: the file, a readable
    // form (an existing file that is no form), the resource, the parent.
    EXPECT_LT(LoadPanel(0, "nothing.uir", PANEL), 0);
    EXPECT_LT(LoadPanel(0, KORVEN_SOURCE_DIR "/CMakeLists.txt", PANEL), 0);
    EXPECT_LT(LoadPanel(0, "KORVENDarir23.uir", 99), 0) << "no such resource";
    EXPECT_LT(LoadPanel(99, "KORVENDarir23.uir", PANEL), 0) << "no such parent";
    bed().failLoadPanel(POPUP);
    EXPECT_LT(LoadPanel(0, "KORVENDarir23.uir", POPUP), 0);
    EXPECT_GT(LoadPanel(0, "KORVENDarir23.uir", POPUP), 0) << "only the next load fails";
    // An absolute path ignores the project directory.
    EXPECT_GT(LoadPanel(0, KORVEN_SOURCE_DIR "/app/KORVENDarir23.uir", PANEL), 0);

    rt::SetLayoutRegistry(nullptr);
    EXPECT_FALSE(rt::ParseLayout(good, &error)) << "names mean nothing without a registry";
    EXPECT_LT(LoadPanel(0, "KORVENDarir23.uir", PANEL), 0);
    rt::SetLayoutRegistry(&KorvenLayoutRegistry());
}

TEST_F(LayoutFile, ValuesAreCoercedIntoTheControlsTypeAndReadInTheCallers) {
    ASSERT_EQ(InstallCtrlCallback(pHandle, PANEL_NUMPower, Clicked, nullptr), 0);
    struct Case {
        const int* panel;
        int id;
        std::variant<int, double, const char*> value;
        double stored;
    };
    const Case cases[] = {
        // The range wins over everything; doubles truncate.
        {&pHandle, PANEL_NUMPower, 5000, 1000},
        {&pHandle, PANEL_NUMPower, -3, 0},
        {&pHandle, PANEL_NUMPower, 99.9, 99},
        // Without a range a u16 keeps the low 16 bits.
        {&pHandle, PANEL_DropRs232Mode, 65536 + 7, 7},
        {&pHandle, PANEL_DropRs232Mode, -1, 65535},
        {&pHandle, PANEL_DropRs232Mode, "text", 0},
        // Binary controls hold 0 or 1.
        {&pHandle, PANEL_RBTEeprom, 42, 1},
        {&pHandle, PANEL_RBTRam, 0.0, 0},
        // Rings keep whatever number they are given.
        {&pHandle, PANEL_DropDCom, 17, 17},
        // Doubles clamp into their range; floats are stored as floats.
        {&pPopup, POPUP_NUMFitSlope, 7e9, 1e9},
        {&pPopup, POPUP_NUMSlope, 70.0, static_cast<double>(63.998046f)},
        {&pPopup, POPUP_NUMSlope, 0.1, static_cast<double>(0.1f)},
    };
    for (const Case& c : cases) {
        std::visit([&](auto v) { SetCtrlVal(*c.panel, c.id, v); }, c.value);
        EXPECT_DOUBLE_EQ(bed().doubleValue(*c.panel, c.id), c.stored)
            << ctrl(c.id).name << " row " << (&c - cases);
    }
    // Text controls.
    SetCtrlVal(pHandle, PANEL_STATUS, 12);
    EXPECT_EQ(Status(), "12");
    const int box = POPUP_TEXTBOXSensor;
    SetCtrlVal(pPopup, box, "a\nb\nc");
    EXPECT_EQ(bed().ctrl(pPopup, box).lines.size(), 3u);
    EXPECT_EQ(ReplaceTextBoxLine(pPopup, box, 1, "B"), 0);
    EXPECT_EQ(ReplaceTextBoxLine(pPopup, box, 5, "F"), 0);
    EXPECT_EQ(bed().text(pPopup, box), "a\nB\nc\n\n\nF");
    EXPECT_LT(ReplaceTextBoxLine(pPopup, box, -1, "x"), 0);
    EXPECT_LT(ReplaceTextBoxLine(pHandle, PANEL_STATUS, 0, "x"), 0);
    EXPECT_EQ(gClicks, 0) << "no event is raised by code";

    // Values and GetCtrlVal convert into the caller's type.
    const std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::pair<Value, std::int64_t> ints[] = {
        {Value::ofDouble(2.9), 2},          {Value::ofDouble(-2.9), -2},
        {Value::ofDouble(1e300), kMax},     {Value::ofDouble(-1e300), -kMax - 1},
        {Value::ofDouble(std::nan("")), 0}, {Value::ofDouble(INFINITY), kMax},
        {Value::ofText("123"), 0},
    };
    for (const auto& [v, i] : ints) {
        EXPECT_EQ(v.asInt(), i) << v.asText();
    }
    EXPECT_EQ(std::pair(Value::ofText("1.5").asDouble(), Value::ofInt(-7).asDouble()),
              std::pair(0.0, -7.0));
    EXPECT_EQ(std::pair(Value::ofInt(65535).asText(), Value::ofDouble(0.25).asText()),
              std::pair(std::string("65535"), std::string("0.25")));

    SetCtrlVal(p, PANEL_DropDCom, 70000 + 5);
    SetCtrlVal(pPopup, POPUP_NUMFitSlope, 2.75);
    unsigned short u = 0;
    int i = 0;
    double d = 0;
    float f = 0;
    EXPECT_EQ(GetCtrlVal(p, PANEL_DropDCom, &u), 0);
    GetCtrlVal(pPopup, POPUP_NUMFitSlope, &i);
    GetCtrlVal(p, PANEL_NUMPower, &d);
    GetCtrlVal(pPopup, POPUP_NUMFitSlope, &f);
    EXPECT_EQ(std::tuple(u, i, d, f), std::tuple(70000 + 5 - 65536, 2, 99.0, 2.75f));

    const std::string longText(3000, 'x');
    SetCtrlVal(p, PANEL_STATUS, longText.c_str());
    std::vector<char> buf(1100, '#');
    EXPECT_EQ(GetCtrlVal(p, PANEL_STATUS, buf.data()), 0);
    EXPECT_EQ(std::string(buf.data()).size(), 1023u);
    EXPECT_EQ(buf[1024], '#') << "nothing written past 1024 bytes";

    EXPECT_LT(GetCtrlVal(p, 999, &i), 0);
    EXPECT_LT(GetCtrlVal(77, PANEL_NUMPower, &i), 0);
    EXPECT_LT(SetCtrlVal(p, PANEL_STATUS, static_cast<const char*>(nullptr)), 0);
}

TEST_F(LayoutFile, OperatorActionsRaiseEventsOnlyOnReachableControlsAndAttributesApply) {
    for (int id : {PANEL_TOGGBTN_OpMode, PANEL_NUMPower, PANEL_BTNRun}) {
        ASSERT_EQ(InstallCtrlCallback(p, id, Clicked, nullptr), 0);
    }
    EXPECT_TRUE(bed().click(p, PANEL_TOGGBTN_OpMode));
    // Left click, value changed, commit; a click flips a toggle.
    EXPECT_EQ(std::tuple(gClicks, gLastEvent, bed().intValue(p, PANEL_TOGGBTN_OpMode)),
              std::tuple(3, EVENT_COMMIT, 1));
    EXPECT_TRUE(bed().operate(p, PANEL_NUMPower, Value::ofInt(2000)));
    EXPECT_EQ(bed().intValue(p, PANEL_NUMPower), 1000);
    EXPECT_EQ(gClicks, 5);
    // Dimming or hiding a container reaches what is inside it: a dimmed
    // control ignores the operator but not the program.
    SetCtrlAttribute(p, PANEL_LOOPLOCK_A, ATTR_DIMMED, 1);
    EXPECT_TRUE(bed().isDimmed(p, PANEL_BTNRun));
    EXPECT_FALSE(bed().ctrl(p, PANEL_BTNRun).dimmed);
    EXPECT_FALSE(bed().click(p, PANEL_BTNRun));
    EXPECT_EQ(gClicks, 5);
    EXPECT_EQ(bed().fire(p, PANEL_BTNRun, EVENT_COMMIT), 0);
    EXPECT_EQ(gClicks, 6);
    SetCtrlAttribute(p, PANEL_LOOPLOCK_A, ATTR_VISIBLE, 0);
    EXPECT_FALSE(bed().isVisible(p, PANEL_BTNVideo));
    EXPECT_FALSE(bed().isVisible(p, PANEL_GRAPH_RAW)) << "hidden in the form";
    EXPECT_TRUE(bed().isVisible(p, PANEL_STATUS));

    // Attributes are kept and the meaningful ones applied.
    EXPECT_EQ(SetCtrlAttribute(p, PANEL_NUMPower, ATTR_MAX_VALUE, 300), 0);
    EXPECT_EQ(bed().intValue(p, PANEL_NUMPower), 300) << "value re-coerced into the new range";
    SetCtrlAttribute(p, PANEL_DropRs232Mode, ATTR_MIN_VALUE, 950);
    EXPECT_EQ(bed().intValue(p, PANEL_DropRs232Mode), 950);
    SetCtrlVal(p, PANEL_DropRs232Mode, 70000);
    EXPECT_EQ(bed().intValue(p, PANEL_DropRs232Mode), 65535) << "the other end is the type's limit";

    SetCtrlAttribute(p, PANEL_BTNRun, ATTR_LABEL_TEXT, "Start");
    char label[1024] = {};
    GetCtrlAttribute(p, PANEL_BTNRun, ATTR_LABEL_TEXT, label);
    EXPECT_STREQ(label, "Start");
    // A toggle's state texts: SensorTypes in test_link_line.cpp.
    SetCtrlAttribute(p, PANEL_STATUS, ATTR_TEXT_COLOR, 0x123456);
    SetCtrlAttribute(p, PANEL_STATUS, ATTR_LEFT, 42);
    int v = 0;
    GetCtrlAttribute(p, PANEL_STATUS, ATTR_TEXT_COLOR, &v);
    EXPECT_EQ(v, 0x123456);
    GetCtrlAttribute(p, PANEL_STATUS, ATTR_LEFT, &v);
    EXPECT_EQ(v, 42);
    // What does not exist is refused; run-time controls made and pictures
    // shown are checked on the header by Header.EachBrandVariant.
    EXPECT_LT(SetCtrlAttribute(p, 999, ATTR_DIMMED, 1), 0);
    EXPECT_LT(NewCtrl(p, 999, "x", 0, 0), 0);
    EXPECT_LT(NewCtrl(77, CTRL_TEXT_MSG, "x", 0, 0), 0);
    EXPECT_LT(DisplayImageFile(p, PANEL_STATUS, "logo.png"), 0);
}

TEST_F(LayoutFile, GraphsAreRecordedAsDisplayLists) {
    const int graph = PANEL_GRAPH_EDGES;
    const unsigned short y16[3] = {1, 2, 65535};
    const double x[3] = {0.5, 1.5, 2.5};
    const int h1 =
        PlotXY(p, graph, x, y16, 3, VAL_DOUBLE, VAL_UNSIGNED_SHORT_INTEGER, 0, 0, 0, 1, VAL_RED);
    const float yf[3] = {1.5f, 2.5f, 3.5f};
    const int xi[3] = {-1, 0, 1};
    const int h2 = PlotXY(p, graph, xi, yf, 3, VAL_INTEGER, VAL_FLOAT, 0, 0, 0, 1, VAL_GREEN);
    const int h3 = PlotRectangle(p, graph, 1, 2, 3, 4, VAL_BLACK, VAL_WHITE);
    auto& g = bed().graph(p, graph);
    ASSERT_EQ(g.plots.size(), 3u);
    EXPECT_EQ(g.plots[0].y, (std::vector<double>{1, 2, 65535}));
    EXPECT_EQ(g.plots[1].x, (std::vector<double>{-1, 0, 1}));
    EXPECT_EQ(g.plots[1].y, (std::vector<double>{1.5, 2.5, 3.5}));
    EXPECT_EQ(g.plots[2].kind, rt::headless::PlotItem::Kind::Rectangle);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(DeleteGraphPlot(p, graph, h2, VAL_DELAYED_DRAW), 0);
    ASSERT_EQ(g.plots.size(), 2u);
    EXPECT_EQ(g.plots[1].handle, h3);
    EXPECT_EQ(DeleteGraphPlot(p, graph, -1, VAL_NO_DRAW), 0);
    EXPECT_EQ(std::tuple(g.plots.size(), g.deleteCalls, g.lastDeleteRefresh),
              std::tuple(0u, 2, VAL_NO_DRAW));
    // Bad types, counts and missing arrays fail before anything is read;
    // no points need no arrays.
    EXPECT_LT(PlotXY(p, graph, x, y16, 3, VAL_STRING, VAL_DOUBLE, 0, 0, 0, 1, 0), 0);
    EXPECT_LT(PlotXY(p, PANEL_STATUS, x, x, 3, VAL_DOUBLE, VAL_DOUBLE, 0, 0, 0, 1, 0), 0);
    EXPECT_GE(PlotXY(p, graph, nullptr, nullptr, 0, VAL_DOUBLE, VAL_DOUBLE, 0, 0, 0, 1, 0), 0);
    const short data[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_LT(PlotStripChart(p, PANEL_GRAPH_RAW, data, -1, 0, 0, VAL_SHORT_INTEGER), 0);
    EXPECT_LT(PlotStripChart(p, PANEL_GRAPH_RAW, nullptr, 2, 0, 0, VAL_SHORT_INTEGER), 0);
    // A skip count takes every other value.
    EXPECT_EQ(PlotStripChart(p, PANEL_GRAPH_RAW, data, 3, 0, 1, VAL_SHORT_INTEGER), 0);
    EXPECT_EQ(bed().graph(p, PANEL_GRAPH_RAW).lastStripData, (std::vector<double>{1, 3, 5}));

    // Placed cursors and axis ranges are checked on the program's graphs
    // in test_display.cpp; here what is refused and which axis counts a set.
    EXPECT_LT(SetGraphCursor(p, graph, 4, 0, 0), 0);
    const int xSets = g.xAxis.setCount, ySets = g.yAxis.setCount;
    EXPECT_EQ(SetAxisScalingMode(p, graph, VAL_XAXIS, VAL_MANUAL, 1.0, 8192.0), 0);
    EXPECT_EQ(std::pair(g.xAxis.setCount, g.yAxis.setCount), std::pair(xSets + 1, ySets));
}

TEST_F(LayoutFile, ScheduledActionsRunInsideEventProcessing) {
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

    // Quitting from an action is Sequences' flood test.
    EXPECT_EQ(RunUserInterface(), -1) << "nothing left to wait for";
    bed().setEventLoopLimit(1.0);
    bed().after(100.0, [] { QuitUserInterface(1); });
    EXPECT_EQ(RunUserInterface(), -1);
}

TEST_F(LayoutFile, FileDialogAnswersFromItsQueue) {
    char path[MAX_PATHNAME_LEN] = "unchanged";
    const auto select = [&](int button) {
        return FileSelectPopup("/d", "KRVNpara.dat", "*.dat", "Title", button, 0, 1, 1, 1, path);
    };
    EXPECT_EQ(select(VAL_LOAD_BUTTON), VAL_NO_FILE_SELECTED);
    EXPECT_STREQ(path, "unchanged");
    bed().queueFileDialog({VAL_EXISTING_FILE_SELECTED, std::string(400, 'p')});
    // A path longer than the buffer is refused, never cut to another one.
    EXPECT_LT(select(VAL_OK_BUTTON), 0);
    EXPECT_STREQ(path, "unchanged");
    char project[MAX_PATHNAME_LEN] = {};
    EXPECT_EQ(GetProjectDir(project), 0);
    EXPECT_STREQ(project, KORVEN_BINARY_DIR);
}

} // namespace
} // namespace korven::test
