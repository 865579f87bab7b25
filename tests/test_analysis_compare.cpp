// Parameter compare against the virtual sensor: the panel's set beside RAM,
// EEPROM and a file, every differing word marked, the panel and globals
// untouched, no exchange while a loop runs, a silent sensor reported.
#include "analysis/panel.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

namespace korven {
namespace {

using analysis::DifferingWords;

class Compare : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
        bed().attachPeer(1, &sensor_);
        InitRS232(1);
    }
    // The table line of word k.
    std::string Line(int k) {
        std::istringstream in(bed().text(view_, COMPARE_TEXTBOXTable));
        std::string line;
        for (int i = 0; i <= k + 1 && std::getline(in, line); ++i) {
        }
        return line;
    }
    test::SimPeer sensor_;
    int view_ = 0;
};

TEST_F(Compare, MarksEveryWordThatDiffersFromThePanelAndLeavesTheSetAlone) {
    bed().operate(pHandle, PANEL_NUMPower, rt::Value::ofInt(700));
    sensor_.model().setRamWord(sim::kTTol, 123);
    const u16 powerBefore = power;
    ASSERT_TRUE(bed().click(pHandle, PANEL_BTNCompare));
    view_ = bed().panelHandle(COMPARE);
    ASSERT_GT(view_, 0);
    EXPECT_TRUE(bed().panelVisible(view_));

    ASSERT_TRUE(bed().click(view_, COMPARE_BTNReadSensor));
    EXPECT_EQ(Status(), "Compare: RAM and EEPROM read");
    const auto& cols = CompareColumns();
    ASSERT_TRUE(cols[0].valid && cols[1].valid && cols[2].valid);
    for (int k = 0; k < PNUM; ++k) {
        EXPECT_EQ(cols[1].words[k], sensor_.model().ram()[k]) << k;
        EXPECT_EQ(cols[2].words[k], sensor_.model().eeprom()[k]) << k;
    }
    EXPECT_EQ(DifferingWords(cols[0].words, cols[1].words), (1u << 0) | (1u << 9));
    EXPECT_NE(Line(0).find("700"), std::string::npos) << Line(0);
    EXPECT_NE(Line(0).find("500*"), std::string::npos) << Line(0);
    EXPECT_NE(Line(9).find("123*"), std::string::npos) << Line(9);
    // The globals and the panel keep what they held.
    EXPECT_EQ(power, powerBefore);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), 700);

    // A file with one changed word.
    const auto file = std::filesystem::temp_directory_path() /
                      ("korven-compare-" + std::to_string(::getpid()) + ".dat");
    std::uint32_t words[PNUM];
    for (int k = 0; k < PNUM; ++k) {
        words[k] = cols[0].words[k];
    }
    words[14] += 3;
    ASSERT_EQ(ArrayToFile(file.c_str(), words, VAL_UNSIGNED_INTEGER, PNUM, 1, VAL_GROUPS_TOGETHER,
                          VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 10, VAL_ASCII, VAL_TRUNCATE),
              0);
    bed().queueFileDialog({VAL_EXISTING_FILE_SELECTED, file.string()});
    bed().click(view_, COMPARE_BTNReadFile);
    std::filesystem::remove(file);
    ASSERT_TRUE(cols[3].valid);
    EXPECT_EQ(DifferingWords(cols[0].words, cols[3].words), 1u << 14);

    // No exchange while a loop runs; the view says why.
    std::string refused;
    std::size_t framesBefore = 0, framesAfter = 0;
    bed().at(bed().now() + 0.5, [&] {
        framesBefore = sensor_.frames().size();
        bed().click(view_, COMPARE_BTNReadSensor);
        framesAfter = sensor_.frames().size();
        refused = Status();
        bed().click(view_, COMPARE_BTNReadFile);
    });
    const std::size_t dialogs = bed().fileDialogs().size();
    bed().at(bed().now() + 1.0, [&] { bed().click(pHandle, PANEL_BTNStop); });
    bed().click(pHandle, PANEL_BTNRun);
    EXPECT_EQ(refused, "Compare: stop RUN or VIDEO first");
    EXPECT_EQ(framesAfter, framesBefore);
    EXPECT_EQ(bed().fileDialogs().size(), dialogs);

    // A silent sensor: the columns read nothing.
    sensor_.faults().silent = true;
    bed().click(view_, COMPARE_BTNReadSensor);
    EXPECT_EQ(Status(), "Compare: Timeout-RS-232 while reading the sensor");
    EXPECT_FALSE(cols[1].valid || cols[2].valid);
    EXPECT_NE(Line(0).find(" - "), std::string::npos) << Line(0);
}

} // namespace
} // namespace korven
