// The test fixture itself, with the program's real layout file.
#include "support/bed.h"

#include "app/KORVENDarir23.h"

namespace korven::test {
namespace {

class BedTest : public Bed {};

TEST_F(BedTest, LoadsBothPanelsOfTheProgramsLayout) {
    LoadPanels();
    EXPECT_EQ(bed().panelHandle(PANEL), pHandle);
    EXPECT_EQ(bed().panelHandle(POPUP), pPopup);
    EXPECT_FALSE(bed().panelVisible(pHandle)) << "panels start hidden";
    const int compare = LoadPanel(0, "KORVENDarir23.uir", COMPARE);
    ASSERT_GT(compare, 0);
    // Every control the program names exists on its panel, and ids are unique.
#define KORVEN_EXPECT_CONTROL(resource, name, id)                                                  \
    EXPECT_TRUE(bed().hasControl(resource == PANEL   ? pHandle                                     \
                                 : resource == POPUP ? pPopup                                      \
                                                     : compare,                                    \
                                 name))                                                            \
        << #name;
    KORVEN_LAYOUT_CONTROLS(KORVEN_EXPECT_CONTROL)
#undef KORVEN_EXPECT_CONTROL
    SetCtrlVal(pHandle, PANEL_STATUS, "Echo Check - Line Ok!");
    EXPECT_EQ(Status(), "Echo Check - Line Ok!");
}

TEST_F(BedTest, EachTestStartsWithAFreshBackEndAndClock) {
    EXPECT_EQ(bed().now(), 0.0);
    EXPECT_EQ(rt::CurrentBackend(), &bed());
    EXPECT_EQ(bed().panelHandle(PANEL), -1);
    char dir[MAX_PATHNAME_LEN] = {};
    GetProjectDir(dir);
    EXPECT_STREQ(dir, KORVEN_BINARY_DIR);
    Delay(3.0);
}

} // namespace
} // namespace korven::test
