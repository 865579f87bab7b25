// Start-up and shutdown of the whole program, the first marks of the edge
// graph, and the brand header.
#include "app/KORVENDarir23.h"
#include "app/logo.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace korven {
namespace {

using test::Bed;

class StartUp : public Bed {
  protected:
    // Runs the program; at time `t` the operator reads the status line and
    // closes the main panel (another event on the panel does nothing).
    // Records: main panel shown, pop-up shown, quit after the other event,
    // stopped by the close, port open after it.
    int RunProgramAndClose(double t) {
        bed().at(t, [this] {
            statusBeforeClose_ = Status();
            seen_ = {bed().panelVisible(pHandle), bed().panelVisible(pPopup)};
            bed().firePanel(pHandle, EVENT_COMMIT);
            seen_.push_back(bed().quitRequested());
            stop_flag = 0;
            bed().firePanel(pHandle, EVENT_CLOSE);
            seen_.push_back(stop_flag == 1);
            seen_.push_back(bed().portOpen(1));
        });
        return WinMain(nullptr, nullptr, nullptr, 1);
    }

    std::string statusBeforeClose_;
    std::vector<bool> seen_;
};

const std::vector<bool> kClosedCleanly = {true, false, false, true, false};

// The program identifies the sensor; the operator reads the parameters and
// runs the video loop (nested in the event loop until stopped), then closes
// the panel, which stops, closes the port and ends the program cleanly.
TEST_F(StartUp, SessionWithAGoodSensorEndsCleanlyOnClose) {
    test::SimPeer sensor;
    bed().attachPeer(1, &sensor);
    std::string atStart, afterGet;
    bool videoDimmedWhileRunning = false;
    bed().at(2.0, [&] {
        atStart = Status();
        bed().pressKey(pHandle, PANEL_BTNGet);
        afterGet = Status();
    });
    bed().at(2.5, [&] { bed().pressKey(pHandle, PANEL_BTNVideo); });
    bed().at(3.0, [&] {
        videoDimmedWhileRunning = bed().isDimmed(pHandle, PANEL_BTNVideo);
        bed().click(pHandle, PANEL_BTNStop);
    });

    EXPECT_EQ(RunProgramAndClose(4.0), 0);

    EXPECT_EQ(atStart, sensor.model().preset().firmware);
    EXPECT_EQ(afterGet, "Parameter-frame received! - Line Ok!");
    EXPECT_TRUE(videoDimmedWhileRunning);
    EXPECT_EQ(seen_, kClosedCleanly);
    // Line check, hardware, RAM parameters, firmware, in this order; GET,
    // then the video loop's runs and blocks.
    const auto cmds = sensor.commands();
    ASSERT_GE(cmds.size(), 5u);
    EXPECT_EQ(std::vector<int>(cmds.begin(), cmds.begin() + 5), (std::vector<int>{5, 10, 2, 7, 2}));
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), 2), 2);
    EXPECT_GE(std::count(cmds.begin(), cmds.end(), 8), 2);
    EXPECT_GE(std::count(cmds.begin(), cmds.end(), 9), 8);
    EXPECT_EQ(std::make_pair(bed().quitRequested(), bed().quitCode()), std::make_pair(true, 0));
    // Both panels are gone.
    EXPECT_EQ(bed().panel(pHandle), nullptr);
    EXPECT_EQ(bed().panel(pPopup), nullptr);
    EXPECT_EQ(target, RAM);
    EXPECT_STREQ(szSoftName, "KORVEN-Darir");
    EXPECT_STREQ(szSoftVersion, "Version 2.3");
}

// A sensor that answers nothing leaves the line check's time-out, a missing
// port its open error; the program runs on to the close.
class StartUpAlone : public StartUp, public ::testing::WithParamInterface<bool> {};

TEST_P(StartUpAlone, SilentSensorOrMissingPortLeavesItsStatusAndRunsOn) {
    const bool attached = GetParam();
    test::LinePeer sensor;
    if (attached) {
        bed().attachPeer(1, &sensor);
    }
    EXPECT_EQ(RunProgramAndClose(attached ? 3.0 : 1.0), 0);
    EXPECT_EQ(statusBeforeClose_, attached ? "Timeout-RS-232..." : "No serial port found");
    EXPECT_EQ(seen_, kClosedCleanly);
    EXPECT_EQ(sensor.commands(), attached ? std::vector<int>{5} : std::vector<int>{});
    EXPECT_FALSE(bed().notificationInstalled(1));
}

INSTANTIATE_TEST_SUITE_P(SilentOrNoPort, StartUpAlone, ::testing::Bool());

// A run-time that cannot start, or a missing second panel, ends the program
// before anything runs.
TEST_F(StartUp, FailedStartEndsBeforeAnythingRuns) {
    test::SimPeer sensor;
    bed().attachPeer(1, &sensor);
    bed().failInit();
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 1), -1);
    bed().failInit(false);
    bed().failLoadPanel(POPUP);
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 1), -1);

    EXPECT_EQ(bed().openCount(1), 0);
    EXPECT_TRUE(sensor.frames().empty());
    EXPECT_STREQ(szSoftName, ""); // InitVars did not run
    EXPECT_FALSE(bed().panelVisible(pHandle));
}

// The first marks come from the panel's values; a set-point below the
// tolerance puts the band's left end left of zero, and a second call
// replaces the band.
TEST_F(StartUp, InitVarsDrawsSetPointAndWindowFromThePanel) {
    LoadPanels();
    auto& edges = bed().graph(pHandle, PANEL_GRAPH_EDGES);
    // Cursor 1 (x, y), the window cursors' x, then the one green band.
    const auto marks = [&] {
        EXPECT_EQ(edges.plots.size(), 1u);
        const auto& b = edges.plots.at(0);
        EXPECT_EQ(b.kind, rt::headless::PlotItem::Kind::Rectangle);
        return std::vector<double>{edges.cursors[0].x,
                                   edges.cursors[0].y,
                                   edges.cursors[1].x,
                                   edges.cursors[2].x,
                                   b.x1,
                                   b.x2,
                                   b.y1,
                                   b.y2,
                                   double(b.color),
                                   double(b.fillColor)};
    };
    InitVars();
    EXPECT_EQ(Status(), "InitVars");
    EXPECT_EQ(marks(), (std::vector<double>{512, 1, 1, 1024, 412, 612, 0, 0.25, 0xFF00, 0xFF00}));
    EXPECT_EQ(std::make_tuple(stop_flag, target, com), std::make_tuple(1, RAM, 1));
    EXPECT_DOUBLE_EQ(xArray[255], 1020.0);
    EXPECT_EQ(std::make_pair(thdArray[0], thdArray[255]), std::make_pair(u16{512}, u16{512}));

    SetCtrlVal(pHandle, PANEL_NUMTeachValue, 50);
    InitVars();
    EXPECT_EQ(marks(), (std::vector<double>{50, 1, 1, 1024, -50, 150, 0, 0.25, 0xFF00, 0xFF00}));
}

// ---- Header ----------------------------------------------------------------

using Header = Bed;

// Brand variant 2: five lines on the blue header (white text in the
// application font) and the logo; 0 and 1: name and version only, no
// picture, a white header; unknown variants leave the header alone; every
// brand picture exists beside the program.
TEST_F(Header, EachBrandVariant) {
    LoadPanels();
    std::strcpy(szSoftName, "KORVEN-Darir");
    std::strcpy(szSoftVersion, "Version 2.3");
    const auto texts = [&] {
        std::vector<std::string> out;
        for (const auto* c : bed().runtimeControls(pHandle)) {
            out.push_back(c->value.asText());
        }
        return out;
    };
    const auto& header = bed().ctrl(pHandle, PANEL_HEADER).attributes;
    const auto& logo = bed().ctrl(pHandle, PANEL_LOGO);

    for (const int variant : {5, 7, -1}) {
        ShowLogo(variant);
    }
    EXPECT_TRUE(bed().runtimeControls(pHandle).empty());
    EXPECT_EQ(header.count(ATTR_FRAME_COLOR), 0u);
    EXPECT_TRUE(logo.imageFile.empty());

    ShowLogo(2);
    const auto controls = bed().runtimeControls(pHandle);
    ASSERT_EQ(controls.size(), 5u);
    EXPECT_EQ(texts()[3], "KORVEN-Darir");
    EXPECT_EQ(texts()[4], "Version 2.3");
    EXPECT_NE(texts()[2].find(".example"), std::string::npos);
    for (const auto* c : controls) {
        EXPECT_EQ(std::make_tuple(c->attributes.at(ATTR_TEXT_BGCOLOR).asInt(),
                                  c->attributes.at(ATTR_TEXT_COLOR).asInt(),
                                  c->attributes.at(ATTR_TEXT_FONT).asText()),
                  std::make_tuple(MakeColor(0, 128, 255), MakeColor(255, 255, 255), "NIApp"));
    }
    // Point sizes of lines 1 and 4, positions of lines 4, 5 and 3, the logo's.
    EXPECT_EQ((std::vector<int>{
                  controls[0]->attributes.at(ATTR_TEXT_POINT_SIZE).asInt(),
                  controls[3]->attributes.at(ATTR_TEXT_POINT_SIZE).asInt(), controls[3]->geometry.x,
                  controls[3]->geometry.y, controls[4]->geometry.x, controls[2]->geometry.y,
                  logo.attributes.at(ATTR_LEFT).asInt(), logo.attributes.at(ATTR_TOP).asInt()}),
              (std::vector<int>{11, 18, 300, 35, 450, 40, 300, 10}));
    EXPECT_EQ(logo.imageFile, "korven_logo2.png");
    EXPECT_EQ(header.at(ATTR_FRAME_COLOR).asInt(), MakeColor(0, 128, 255));

    ShowLogo(0);
    const auto all = texts();
    EXPECT_EQ(std::vector(all.begin() + 5, all.end()),
              (std::vector<std::string>{"KORVEN-Darir", "Version 2.3"}));
    EXPECT_FALSE(bed().isVisible(pHandle, PANEL_LOGO));
    EXPECT_EQ(header.at(ATTR_FRAME_COLOR).asInt(), MakeColor(255, 255, 255));

    for (const int variant : {3, 4, 6, 2}) {
        ShowLogo(variant);
        EXPECT_TRUE(
            std::filesystem::is_regular_file(std::string(KORVEN_BINARY_DIR) + "/" + logo.imageFile))
            << variant << ": " << logo.imageFile;
    }
}

} // namespace
} // namespace korven
