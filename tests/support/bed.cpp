#include "support/bed.h"

#include "app/KORVENDarir23.h"
#include "app/registry.h"
#include "link/com232.h"
#include "support/sim_peer.h"

namespace korven::test {

void Bed::SetUp() {
    korven::ResetAllGlobals();
    rt::headless::HeadlessOptions options;
    options.projectDir = KORVEN_BINARY_DIR;
    bed_ = std::make_unique<rt::headless::HeadlessBackend>(options);
    previous_ = rt::SetBackend(bed_.get());
    previousRegistry_ = rt::CurrentLayoutRegistry();
    rt::SetLayoutRegistry(&korven::KorvenLayoutRegistry());
}

void Bed::TearDown() {
    rt::SetBackend(previous_);
    rt::SetLayoutRegistry(previousRegistry_);
    bed_.reset();
}

rt::headless::HeadlessBackend& Bed::bed() {
    return *bed_;
}

void Bed::LoadPanels() {
    korven::pHandle = LoadPanel(0, "KORVENDarir23.uir", PANEL);
    ASSERT_GT(korven::pHandle, 0) << "main panel did not load";
    korven::pPopup = LoadPanel(0, "KORVENDarir23.uir", POPUP);
    ASSERT_GT(korven::pPopup, 0) << "calibration pop-up did not load";
    korven::StoreDefaults();
}

std::string Bed::Status() {
    if (!bed_->hasControl(korven::pHandle, PANEL_STATUS)) {
        return {};
    }
    return bed_->text(korven::pHandle, PANEL_STATUS);
}

void PanelBed::SetUp() {
    Bed::SetUp();
    ASSERT_NO_FATAL_FAILURE(LoadPanels());
    korven::InitVars();
}

void PanelBed::Operate(int control, int value) {
    bed().operate(korven::pHandle, control, rt::Value::ofInt(value));
}

int PanelBed::Int(int control) {
    return static_cast<int>(bed().intValue(korven::pHandle, control));
}

void PanelBed::Connect(SimPeer& sensor, int port) {
    bed().attachPeer(port, &sensor);
    korven::InitRS232(port);
    ASSERT_EQ(Status(), sensor.model().preset().firmware);
}

} // namespace korven::test
