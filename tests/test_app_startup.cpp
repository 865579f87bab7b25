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
#include <vector>

namespace korven {
namespace {

using test::Bed;

class StartUp : public Bed {
  protected:
    // Runs the program; at time `t` the operator reads the status line and
    // closes the main panel (another event on the panel does nothing).
    int RunProgramAndClose(double t) {
        bed().at(t, [this] {
            statusBeforeClose_ = Status();
            panelShown_ = bed().panelVisible(pHandle);
            popupShown_ = bed().panelVisible(pPopup);
            bed().firePanel(pHandle, EVENT_COMMIT);
            quitOnCommit_ = bed().quitRequested();
            stop_flag = 0;
            bed().firePanel(pHandle, EVENT_CLOSE);
            stoppedOnClose_ = stop_flag == 1;
            portOpenAfterClose_ = bed().portOpen(1);
        });
        return WinMain(nullptr, nullptr, nullptr, 1);
    }

    std::string statusBeforeClose_;
    bool panelShown_ = false;
    bool popupShown_ = true;
    bool quitOnCommit_ = true;
    bool stoppedOnClose_ = false;
    bool portOpenAfterClose_ = true;
};

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
    EXPECT_TRUE(panelShown_);
    EXPECT_FALSE(popupShown_);
    // Line check, hardware, RAM parameters, firmware, in this order; GET,
    // then the video loop's runs and blocks.
    const auto cmds = sensor.commands();
    ASSERT_GE(cmds.size(), 5u);
    EXPECT_EQ(std::vector<int>(cmds.begin(), cmds.begin() + 5), (std::vector<int>{5, 10, 2, 7, 2}));
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), 2), 2);
    EXPECT_GE(std::count(cmds.begin(), cmds.end(), 8), 2);
    EXPECT_GE(std::count(cmds.begin(), cmds.end(), 9), 8);
    EXPECT_FALSE(quitOnCommit_);
    EXPECT_TRUE(stoppedOnClose_);
    EXPECT_FALSE(portOpenAfterClose_);
    EXPECT_TRUE(bed().quitRequested());
    EXPECT_EQ(bed().quitCode(), 0);
    // Both panels are gone.
    EXPECT_EQ(bed().panel(pHandle), nullptr);
    EXPECT_EQ(bed().panel(pPopup), nullptr);
    EXPECT_EQ(target, RAM);
    EXPECT_STREQ(szSoftName, "KORVEN-Darir");
    EXPECT_STREQ(szSoftVersion, "Version 2.3");
}

TEST_F(StartUp, SilentSensorLeavesTheLineCheckTimeOutAndRunsOn) {
    test::LinePeer sensor; // answers nothing
    bed().attachPeer(1, &sensor);

    EXPECT_EQ(RunProgramAndClose(3.0), 0);

    EXPECT_EQ(statusBeforeClose_, "Timeout-RS-232...");
    EXPECT_TRUE(panelShown_);
    EXPECT_EQ(sensor.commands(), (std::vector<int>{5}));
    EXPECT_FALSE(bed().portOpen(1));
}

TEST_F(StartUp, MissingPortShowsTheOpenErrorAndRunsOn) {
    EXPECT_EQ(RunProgramAndClose(1.0), 0);
    EXPECT_EQ(statusBeforeClose_, "No serial port found");
    EXPECT_TRUE(panelShown_);
    EXPECT_FALSE(bed().notificationInstalled(1));
}

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
    InitVars();

    EXPECT_EQ(Status(), "InitVars");
    auto& edges = bed().graph(pHandle, PANEL_GRAPH_EDGES);
    EXPECT_DOUBLE_EQ(edges.cursors[0].x, 512.0);
    EXPECT_DOUBLE_EQ(edges.cursors[0].y, 1.0);
    EXPECT_DOUBLE_EQ(edges.cursors[1].x, 1.0);
    EXPECT_DOUBLE_EQ(edges.cursors[2].x, 1024.0);
    ASSERT_EQ(edges.plots.size(), 1u);
    const auto& band = edges.plots[0];
    EXPECT_EQ(band.kind, rt::headless::PlotItem::Kind::Rectangle);
    EXPECT_DOUBLE_EQ(band.x1, 412.0);
    EXPECT_DOUBLE_EQ(band.x2, 612.0);
    EXPECT_DOUBLE_EQ(band.y1, 0.0);
    EXPECT_DOUBLE_EQ(band.y2, 0.25);
    EXPECT_EQ(band.color, 0x00FF00);
    EXPECT_EQ(band.fillColor, 0x00FF00);

    EXPECT_EQ(stop_flag, 1);
    EXPECT_EQ(target, RAM);
    EXPECT_EQ(com, 1);
    EXPECT_DOUBLE_EQ(xArray[255], 1020.0);
    EXPECT_EQ(thdArray[0], 512);
    EXPECT_EQ(thdArray[255], 512);

    SetCtrlVal(pHandle, PANEL_NUMTeachValue, 50);
    InitVars();
    ASSERT_EQ(edges.plots.size(), 1u);
    EXPECT_DOUBLE_EQ(edges.plots[0].x1, -50.0);
    EXPECT_DOUBLE_EQ(edges.plots[0].x2, 150.0);
    EXPECT_DOUBLE_EQ(edges.cursors[0].x, 50.0);
}

// ---- Header ----------------------------------------------------------------

class Header : public Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        std::strcpy(szSoftName, "KORVEN-Darir");
        std::strcpy(szSoftVersion, "Version 2.3");
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const auto* c : bed().runtimeControls(pHandle)) {
            texts.push_back(c->value.asText());
        }
        return texts;
    }
};

TEST_F(Header, BrandVariantTwoShowsFiveLinesAndTheLogo) {
    ShowLogo(2);
    const auto controls = bed().runtimeControls(pHandle);
    ASSERT_EQ(controls.size(), 5u);
    const auto texts = Texts();
    EXPECT_EQ(texts[3], "KORVEN-Darir");
    EXPECT_EQ(texts[4], "Version 2.3");
    EXPECT_NE(texts[2].find(".example"), std::string::npos);
    // Every line on the blue header, white text, in the application font.
    for (const auto* c : controls) {
        EXPECT_EQ(c->attributes.at(ATTR_TEXT_BGCOLOR).asInt(), MakeColor(0, 128, 255));
        EXPECT_EQ(c->attributes.at(ATTR_TEXT_COLOR).asInt(), MakeColor(255, 255, 255));
        EXPECT_EQ(c->attributes.at(ATTR_TEXT_FONT).asText(), "NIApp");
    }
    EXPECT_EQ(controls[0]->attributes.at(ATTR_TEXT_POINT_SIZE).asInt(), 11);
    EXPECT_EQ(controls[3]->attributes.at(ATTR_TEXT_POINT_SIZE).asInt(), 18);
    EXPECT_EQ(controls[3]->geometry.x, 300);
    EXPECT_EQ(controls[3]->geometry.y, 35);
    EXPECT_EQ(controls[4]->geometry.x, 450);
    EXPECT_EQ(controls[2]->geometry.y, 40);

    const auto& logo = bed().ctrl(pHandle, PANEL_LOGO);
    EXPECT_EQ(logo.imageFile, "korven_logo2.png");
    EXPECT_EQ(logo.attributes.at(ATTR_LEFT).asInt(), 300);
    EXPECT_EQ(logo.attributes.at(ATTR_TOP).asInt(), 10);
    EXPECT_EQ(bed().ctrl(pHandle, PANEL_HEADER).attributes.at(ATTR_FRAME_COLOR).asInt(),
              MakeColor(0, 128, 255));
}

TEST_F(Header, PlainVariantsShowOnlyNameAndVersionWithoutPicture) {
    ShowLogo(0);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"KORVEN-Darir", "Version 2.3"}));
    EXPECT_FALSE(bed().isVisible(pHandle, PANEL_LOGO));
    EXPECT_EQ(bed().ctrl(pHandle, PANEL_HEADER).attributes.at(ATTR_FRAME_COLOR).asInt(),
              MakeColor(255, 255, 255));
}

TEST_F(Header, UnknownVariantsLeaveTheHeaderAlone) {
    for (const int variant : {5, 7, -1}) {
        ShowLogo(variant);
    }
    EXPECT_TRUE(bed().runtimeControls(pHandle).empty());
    EXPECT_EQ(bed().ctrl(pHandle, PANEL_HEADER).attributes.count(ATTR_FRAME_COLOR), 0u);
    EXPECT_TRUE(bed().ctrl(pHandle, PANEL_LOGO).imageFile.empty());
}

TEST_F(Header, EveryBrandPictureExistsBesideTheProgram) {
    for (const int variant : {2, 3, 4, 6}) {
        ShowLogo(variant);
        const std::string file = bed().ctrl(pHandle, PANEL_LOGO).imageFile;
        EXPECT_TRUE(std::filesystem::is_regular_file(std::string(KORVEN_BINARY_DIR) + "/" + file))
            << variant << ": " << file;
    }
}

} // namespace
} // namespace korven
