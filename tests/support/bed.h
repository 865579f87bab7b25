// Test fixture: a fresh headless back end per test, the program's layout
// registry and clean globals.
#pragma once

#include "runtime/headless/headless.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace korven::test {

class Bed : public ::testing::Test {
  protected:
    // Resets the globals, installs a headless back end whose project
    // directory is the build directory (where KORVENDarir23.uir is copied)
    // and the program's layout registry.
    void SetUp() override;
    // Restores the previous back end.
    void TearDown() override;

    rt::headless::HeadlessBackend& bed();

    // Loads the main panel and the calibration pop-up into pHandle/pPopup
    // (asserting success), then stores the global defaults.
    void LoadPanels();

    // Current text of PANEL_STATUS on pHandle.
    std::string Status();

  private:
    std::unique_ptr<rt::headless::HeadlessBackend> bed_;
    rt::Backend* previous_ = nullptr;
    const rt::LayoutRegistry* previousRegistry_ = nullptr;
};

} // namespace korven::test
