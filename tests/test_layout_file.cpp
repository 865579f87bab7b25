// The program's own layout file: every control the logic uses is on the
// right panel with the right kind, type, start value and container, and the
// panels are laid out without controls covering each other.
#include "app/KORVENDarir23.h"
#include "app/KORVENDarir23_uir.h"
#include "app/registry.h"
#include "calibration/popup.h"
#include "runtime/layout.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>

namespace {

using korven::rt::CtrlKind;
using korven::rt::Layout;
using korven::rt::LayoutControl;
using korven::rt::LayoutPanel;
using korven::rt::ValueType;

struct Expected {
    int resource;
    const char* name;
    int id;
};

#define KORVEN_EXPECTED(resource, name, id) {resource, #name, id},
constexpr Expected kAll[] = {KORVEN_LAYOUT_CONTROLS(KORVEN_EXPECTED)};
#undef KORVEN_EXPECTED

class LayoutFile : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = korven::rt::CurrentLayoutRegistry();
        korven::rt::SetLayoutRegistry(&korven::KorvenLayoutRegistry());
        std::string error;
        auto layout =
            korven::rt::ReadLayoutFile(KORVEN_SOURCE_DIR "/app/KORVENDarir23.uir", &error);
        ASSERT_TRUE(layout.has_value()) << error;
        layout_ = std::move(*layout);
    }
    void TearDown() override { korven::rt::SetLayoutRegistry(previous_); }

    const LayoutControl& ctrl(int id) const {
        for (const auto& p : layout_.panels) {
            for (const auto& c : p.controls) {
                if (c.id == id) {
                    return c;
                }
            }
        }
        ADD_FAILURE() << "control " << id << " missing";
        static const LayoutControl none;
        return none;
    }

    // Every container around the control, innermost first.
    std::set<int> containers(int id) const {
        std::set<int> out;
        for (int p = ctrl(id).parentId; p != 0; p = ctrl(p).parentId) {
            out.insert(p);
        }
        return out;
    }

    Layout layout_;
    const korven::rt::LayoutRegistry* previous_ = nullptr;
};

TEST_F(LayoutFile, EveryControlIsOnItsPanelOnceWithAResolvableCallback) {
    ASSERT_NE(layout_.panel(PANEL), nullptr);
    ASSERT_NE(layout_.panel(POPUP), nullptr);
    EXPECT_EQ(layout_.panel(PANEL)->title, "KORVEN-Darir");
    EXPECT_EQ(layout_.panel(POPUP)->title, "KORVEN-Darir Calibration");
    const auto& reg = korven::KorvenLayoutRegistry();
    EXPECT_EQ(reg.panelCallback(layout_.panel(PANEL)->callbackName), &korven::CC_PANEL);
    EXPECT_EQ(reg.panelCallback(layout_.panel(POPUP)->callbackName), &korven::CC_POPUP);

    for (const Expected& e : kAll) {
        const LayoutPanel* panel = layout_.panel(e.resource);
        int found = 0;
        for (const auto& c : panel->controls) {
            if (c.id == e.id) {
                ++found;
                EXPECT_EQ(c.name, e.name);
                if (!c.callbackName.empty()) {
                    EXPECT_NE(reg.ctrlCallback(c.callbackName), nullptr)
                        << e.name << " names unknown callback " << c.callbackName;
                    // Callbacks are named after their control.
                    const std::string stem =
                        std::string(e.name).substr(std::string(e.name).find('_') + 1);
                    EXPECT_EQ(c.callbackName, "CC_" + stem);
                }
            }
        }
        EXPECT_EQ(found, 1) << e.name;
    }
    std::size_t total = 0;
    for (const auto& p : layout_.panels) {
        total += p.controls.size();
    }
    EXPECT_EQ(total, std::size(kAll));

    // Controls that react have a callback (its name follows the rule above).
    for (int id : {PANEL_BTNRun,
                   PANEL_BTNStop,
                   PANEL_BTNVideo,
                   PANEL_BTNSend,
                   PANEL_BTNGet,
                   PANEL_ButtonTeach,
                   PANEL_ButtonReset,
                   PANEL_RBTRam,
                   PANEL_RBTEeprom,
                   PANEL_RBTFile,
                   PANEL_DropDCom,
                   PANEL_NUMVideoThreshold,
                   PANEL_NEDITEdgeLeft,
                   PANEL_NEDITEdgeRight,
                   PANEL_NEDITTolerance,
                   PANEL_TOGGBTN_ParaII,
                   POPUP_ActivateCalibration,
                   POPUP_DiscardCalibration,
                   POPUP_ButtonAcceptObject1,
                   POPUP_ButtonAcceptObject2,
                   POPUP_ButtonDoFit,
                   POPUP_ButtonSaveCalValues,
                   POPUP_CheckStep1,
                   POPUP_CheckStep2}) {
        EXPECT_FALSE(ctrl(id).callbackName.empty()) << ctrl(id).name;
    }
}

TEST_F(LayoutFile, ParameterControlsStartAtTheProgramDefaults) {
    struct Start {
        int id;
        CtrlKind kind;
        ValueType type;
        std::int64_t value;
        std::size_t items = 0; // rings: one item for every value the program may write
    };
    // The panel's start state equals the defaults the program stores, so
    // reading the panel at start-up changes nothing.
    const Start starts[] = {
        {PANEL_NUMPower, CtrlKind::Numeric, ValueType::U16, 500},
        {PANEL_DropRs232Mode, CtrlKind::Ring, ValueType::U16, 0, 2},
        {PANEL_NUMVideoThreshold, CtrlKind::Numeric, ValueType::U16, 512},
        {PANEL_DropAnaMode, CtrlKind::Ring, ValueType::U16, 0, 8},
        {PANEL_DropPolarity, CtrlKind::Ring, ValueType::U16, 1, 2},
        {PANEL_DropEvalMode, CtrlKind::Ring, ValueType::U16, 1, 5},
        {PANEL_NEDITEdgeLeft, CtrlKind::Numeric, ValueType::U16, 1},
        {PANEL_NEDITEdgeRight, CtrlKind::Numeric, ValueType::U16, 1024},
        {PANEL_NUMTeachValue, CtrlKind::Numeric, ValueType::U16, 512},
        {PANEL_NEDITTolerance, CtrlKind::Numeric, ValueType::U16, 100},
        {PANEL_TOGGBTN_OpMode, CtrlKind::Toggle, ValueType::U16, 0},
        {PANEL_DropEHardware, CtrlKind::Ring, ValueType::U16, 1, 4},
        {PANEL_NUMAverage, CtrlKind::Numeric, ValueType::U16, 0},
        {PANEL_NUMDeltaTol, CtrlKind::Numeric, ValueType::U16, 1},
        {PANEL_NUMTolDisplay, CtrlKind::Numeric, ValueType::U16, 100},
        {PANEL_DropDCom, CtrlKind::Ring, ValueType::Int, 1, 8},
        {PANEL_RBTRam, CtrlKind::Radio, ValueType::Int, 1},
        {PANEL_RBTEeprom, CtrlKind::Radio, ValueType::Int, 0},
        {PANEL_RBTFile, CtrlKind::Radio, ValueType::Int, 0},
        {PANEL_TOGGBTN_ParaII, CtrlKind::Toggle, ValueType::Int, 0},
        {PANEL_TOGGBTN_Zoom, CtrlKind::Toggle, ValueType::Int, 0},
        {POPUP_NEDITObject1, CtrlKind::Numeric, ValueType::Int, 7960},
        {POPUP_NEDITObject2, CtrlKind::Numeric, ValueType::Int, 21960},
        {POPUP_CheckStep1, CtrlKind::Check, ValueType::Int, 0},
        {POPUP_CheckStep2, CtrlKind::Check, ValueType::Int, 0},
    };
    for (const Start& s : starts) {
        const LayoutControl& c = ctrl(s.id);
        EXPECT_EQ(c.kind, s.kind) << c.name;
        EXPECT_EQ(c.valueType, s.type) << c.name;
        EXPECT_EQ(c.initial.asInt(), s.value) << c.name;
        EXPECT_EQ(c.items.size(), s.items) << c.name;
    }
    // Every u16 control's range fits an unsigned 16-bit word.
    for (const auto& p : layout_.panels) {
        for (const auto& c : p.controls) {
            if (c.valueType == ValueType::U16 && c.kind == CtrlKind::Numeric) {
                EXPECT_TRUE(c.hasRange) << c.name;
                EXPECT_GE(c.minimum, 0.0) << c.name;
                EXPECT_LE(c.maximum, 65535.0) << c.name;
            }
        }
    }
    EXPECT_EQ(ctrl(PANEL_NUMVideoThreshold).maximum, 1023.0);
    EXPECT_EQ(ctrl(PANEL_NUMAverage).maximum, 1024.0);
    EXPECT_EQ(ctrl(PANEL_NUMPower).maximum, 1000.0);

    EXPECT_EQ(ctrl(PANEL_DropDCom).valueOffset, 1);

    const LayoutControl& opMode = ctrl(PANEL_TOGGBTN_OpMode);
    EXPECT_EQ(opMode.onText, "HI-GAIN");
    EXPECT_EQ(opMode.offText, "LO-GAIN");
}

TEST_F(LayoutFile, IndicatorsAndCalibrationValuesHaveTheirTypes) {
    const std::pair<int, ValueType> indicators[] = {
        {PANEL_NUMLedge, ValueType::U16},       {PANEL_NUMRedge, ValueType::U16},
        {PANEL_NUMMValue, ValueType::U16},      {PANEL_NUMMValueB, ValueType::U16},
        {PANEL_NUMTolDisplay, ValueType::U16},  {PANEL_NUMAnaMax, ValueType::U16},
        {PANEL_NUMAnaMin, ValueType::U16},      {PANEL_NUMUmValue, ValueType::Int},
        {POPUP_NUMFitSlope, ValueType::Double}, {POPUP_NUMFitOffset, ValueType::Double},
        {POPUP_NUMPixel1, ValueType::Int},      {POPUP_NUMPixel2, ValueType::Int}};
    for (const auto& [id, type] : indicators) {
        EXPECT_TRUE(ctrl(id).readOnly) << ctrl(id).name;
        EXPECT_EQ(ctrl(id).valueType, type) << ctrl(id).name;
    }
    EXPECT_LE(ctrl(PANEL_NUMUmValue).minimum, -2147483648.0);
    EXPECT_GE(ctrl(PANEL_NUMUmValue).maximum, 2147483647.0);

    EXPECT_EQ(ctrl(POPUP_NUMSlope).valueType, ValueType::Float);
    EXPECT_DOUBLE_EQ(ctrl(POPUP_NUMSlope).initial.asDouble(), 1.0);
    // The largest words a sensor keeps: slope 65534 / 1024, offset 30000.
    EXPECT_DOUBLE_EQ(ctrl(POPUP_NUMSlope).maximum, 63.998046);
    EXPECT_EQ(ctrl(POPUP_NUMOffset).valueType, ValueType::Float);
    EXPECT_DOUBLE_EQ(ctrl(POPUP_NUMOffset).minimum, -30000.0);
    EXPECT_DOUBLE_EQ(ctrl(POPUP_NUMOffset).maximum, 30000.0);
    // The sensor text box starts with its two lines.
    EXPECT_EQ(ctrl(POPUP_TEXTBOXSensor).kind, CtrlKind::TextBox);
    EXPECT_EQ(ctrl(POPUP_TEXTBOXSensor).initial.asText(), "\n");
    EXPECT_EQ(ctrl(PANEL_STATUS).kind, CtrlKind::TextMsg);
    EXPECT_EQ(ctrl(PANEL_STATUS).initial.asText(), "");
    EXPECT_EQ(ctrl(PANEL_LOGO).kind, CtrlKind::Picture);
    EXPECT_EQ(ctrl(PANEL_HEADER).kind, CtrlKind::Container);
}

TEST_F(LayoutFile, DimmingAndContainersLeaveStopOperableDuringLoops) {
    const int lockA = PANEL_LOOPLOCK_A, lockB = PANEL_LOOPLOCK_B, unlock = PANEL_LOOPUNLOCK;
    for (int id : {PANEL_BTNRun, PANEL_BTNVideo, PANEL_BTNSend, PANEL_BTNGet, PANEL_ButtonTeach}) {
        EXPECT_TRUE(containers(id).count(lockA)) << ctrl(id).name;
    }
    for (int id : {PANEL_RBTRam, PANEL_RBTEeprom, PANEL_RBTFile}) {
        EXPECT_TRUE(containers(id).count(lockB)) << ctrl(id).name;
    }
    EXPECT_TRUE(containers(PANEL_TOGGBTN_Zoom).count(unlock));
    // STOP, the port selector and the calibration toggle stay usable while
    // a loop runs; they are in none of the dimmed containers.
    for (int id : {PANEL_BTNStop, PANEL_DropDCom, PANEL_TOGGBTN_ParaII}) {
        const auto around = containers(id);
        EXPECT_FALSE(around.count(lockA) || around.count(lockB) || around.count(unlock))
            << ctrl(id).name;
        EXPECT_FALSE(ctrl(id).dimmed) << ctrl(id).name;
    }
    for (int id : {lockA, lockB, unlock}) {
        EXPECT_EQ(ctrl(id).kind, CtrlKind::Container);
        EXPECT_FALSE(ctrl(id).dimmed);
    }
    // Analogue output and calibration steps start dimmed until the sensor
    // and the workflow enable them.
    for (int id : {PANEL_DropAnaMode, PANEL_ButtonReset, PANEL_NUMAnaMax, PANEL_NUMAnaMin,
                   POPUP_CheckStep1, POPUP_CheckStep2, POPUP_ButtonAcceptObject1,
                   POPUP_ButtonAcceptObject2, POPUP_ButtonDoFit, POPUP_ButtonSaveCalValues}) {
        EXPECT_TRUE(ctrl(id).dimmed) << ctrl(id).name;
    }
    EXPECT_FALSE(ctrl(POPUP_ActivateCalibration).dimmed);
    EXPECT_FALSE(ctrl(POPUP_DiscardCalibration).dimmed);
}

TEST_F(LayoutFile, GraphsAndPanelGeometryAreSound) {
    const LayoutControl& video = ctrl(PANEL_GRAPH_VIDEO);
    const LayoutControl& raw = ctrl(PANEL_GRAPH_RAW);
    EXPECT_EQ(video.kind, CtrlKind::Graph);
    EXPECT_EQ(ctrl(PANEL_GRAPH_EDGES).kind, CtrlKind::Graph);
    EXPECT_EQ(raw.kind, CtrlKind::StripChart);
    EXPECT_TRUE(video.visible);
    EXPECT_FALSE(raw.visible);
    // The program swaps the two graphs in the same place.
    const auto place = [](const LayoutControl& c) {
        return std::tie(c.geometry.x, c.geometry.y, c.geometry.width, c.geometry.height);
    };
    EXPECT_EQ(place(raw), place(video));

    for (const auto& panel : layout_.panels) {
        const auto& pg = panel.geometry;
        ASSERT_GT(pg.width, 0);
        ASSERT_GT(pg.height, 0);
        std::vector<const LayoutControl*> leaves;
        for (const auto& c : panel.controls) {
            const auto& g = c.geometry;
            EXPECT_GT(g.width, 0) << c.name;
            EXPECT_GT(g.height, 0) << c.name;
            EXPECT_GE(g.x, 0) << c.name;
            EXPECT_GE(g.y, 0) << c.name;
            EXPECT_LE(g.x + g.width, pg.width) << c.name << " sticks out of " << panel.name;
            EXPECT_LE(g.y + g.height, pg.height) << c.name << " sticks out of " << panel.name;
            if (c.kind != CtrlKind::Container && c.id != PANEL_GRAPH_RAW && c.id != PANEL_LOGO) {
                leaves.push_back(&c);
            }
        }
        // No two controls cover each other (the raw graph shares the video
        // graph's place; the logo sits on the header box).
        for (std::size_t i = 0; i < leaves.size(); ++i) {
            for (std::size_t j = i + 1; j < leaves.size(); ++j) {
                const auto& a = leaves[i]->geometry;
                const auto& b = leaves[j]->geometry;
                const bool overlap = a.x < b.x + b.width && b.x < a.x + a.width &&
                                     a.y < b.y + b.height && b.y < a.y + a.height;
                EXPECT_FALSE(overlap) << leaves[i]->name << " overlaps " << leaves[j]->name;
            }
        }
    }
    // The header box spans the top of the main panel.
    const auto& header = ctrl(PANEL_HEADER).geometry;
    EXPECT_EQ(header.x, 0);
    EXPECT_EQ(header.y, 0);
    EXPECT_EQ(header.width, layout_.panel(PANEL)->geometry.width);
}

} // namespace
