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

class SimPeer;

// Bed with the program's panels loaded and its start-up values set
// (InitVars), and short hands for the main panel and the sensor.
class PanelBed : public Bed {
  protected:
    void SetUp() override;

    // Sets a control of the main panel as the operator does.
    void Operate(int control, int value);
    // Current integer value of a control of the main panel.
    int Int(int control);
    // Attaches the sensor to the port and connects to it as at start-up,
    // asserting that it was identified (its firmware text is shown).
    void Connect(SimPeer& sensor, int port = 1);
};

} // namespace korven::test
