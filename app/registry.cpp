// Names of the layout file's panels, controls and callbacks.
#include "app/registry.h"

#include "analysis/panel.h"
#include "app/KORVENDarir23.h"
#include "app/report_command.h"
#include "calibration/popup.h"
#include "publish/mqtt_glue.h"

#include <string_view>

namespace korven {
namespace {

int PanelResource(std::string_view name) {
    if (name == "PANEL") {
        return PANEL;
    }
    if (name == "POPUP") {
        return POPUP;
    }
    if (name == "COMPARE") {
        return COMPARE;
    }
    if (name == "REPORT") {
        return REPORT;
    }
    if (name == "MQTT") {
        return MQTT;
    }
    return -1;
}

struct ControlName {
    std::string_view name;
    int id;
};

#define KORVEN_CONTROL_NAME(resource, name, id) {#name, id},
constexpr ControlName kControls[] = {KORVEN_LAYOUT_CONTROLS(KORVEN_CONTROL_NAME)};
#undef KORVEN_CONTROL_NAME

int ControlId(std::string_view name) {
    for (const auto& c : kControls) {
        if (c.name == name) {
            return c.id;
        }
    }
    return -1;
}

struct CtrlCallbackName {
    std::string_view name;
    CtrlCallbackPtr fn;
};

#define KORVEN_CB(fn)                                                                              \
    { #fn, &fn }
constexpr CtrlCallbackName kCtrlCallbacks[] = {
    KORVEN_CB(CC_BTNRun),
    KORVEN_CB(CC_BTNStop),
    KORVEN_CB(CC_BTNVideo),
    KORVEN_CB(CC_ButtonTeach),
    KORVEN_CB(CC_NUMVideoThreshold),
    KORVEN_CB(CC_DropDCom),
    KORVEN_CB(CC_BTNSend),
    KORVEN_CB(CC_BTNGet),
    KORVEN_CB(CC_RBTRam),
    KORVEN_CB(CC_RBTEeprom),
    KORVEN_CB(CC_RBTFile),
    KORVEN_CB(CC_NEDITEdgeLeft),
    KORVEN_CB(CC_NEDITEdgeRight),
    KORVEN_CB(CC_TOGGBTN_ParaII),
    KORVEN_CB(CC_ActivateCalibration),
    KORVEN_CB(CC_DiscardCalibration),
    KORVEN_CB(CC_CheckStep1),
    KORVEN_CB(CC_CheckStep2),
    KORVEN_CB(CC_ButtonAcceptObject1),
    KORVEN_CB(CC_ButtonAcceptObject2),
    KORVEN_CB(CC_ButtonDoFit),
    KORVEN_CB(CC_ButtonSaveCalValues),
    KORVEN_CB(CC_ButtonReset),
    KORVEN_CB(CC_NEDITTolerance),
    KORVEN_CB(CC_TOGGBTN_Rec),
    KORVEN_CB(CC_BTNStatReset),
    KORVEN_CB(CC_BTNCompare),
    KORVEN_CB(CC_BTNReadSensor),
    KORVEN_CB(CC_BTNReadFile),
    KORVEN_CB(CC_BTNReport),
    KORVEN_CB(CC_NUMTolerance),
    KORVEN_CB(CC_BTNTakeObject1),
    KORVEN_CB(CC_BTNTakeObject2),
    KORVEN_CB(CC_BTNWriteReport),
    KORVEN_CB(CC_BTNMqtt),
    KORVEN_CB(CC_TOGGBTN_MqttOn),
};
#undef KORVEN_CB

CtrlCallbackPtr CtrlCallback(std::string_view name) {
    for (const auto& c : kCtrlCallbacks) {
        if (c.name == name) {
            return c.fn;
        }
    }
    return nullptr;
}

PanelCallbackPtr PanelCallback(std::string_view name) {
    if (name == "CC_PANEL") {
        return &CC_PANEL;
    }
    if (name == "CC_POPUP") {
        return &CC_POPUP;
    }
    if (name == "CC_COMPARE") {
        return &CC_COMPARE;
    }
    if (name == "CC_REPORT") {
        return &CC_REPORT;
    }
    if (name == "CC_MQTT") {
        return &CC_MQTT;
    }
    return nullptr;
}

constexpr rt::LayoutRegistry kRegistry{&PanelResource, &ControlId, &CtrlCallback, &PanelCallback};

} // namespace

const rt::LayoutRegistry& KorvenLayoutRegistry() {
    return kRegistry;
}

} // namespace korven
