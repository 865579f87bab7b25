// Panel resources and control ids of the layout file "KORVENDarir23.uir".
// The layout file names every control by the constant below (its Qt object
// name); the back ends look the id up here. Ids are unique across panels.
#pragma once

// Panel resource numbers passed to LoadPanel.
#define PANEL 1
#define POPUP 2
#define COMPARE 3
#define REPORT 4
#define MQTT 5

// X(resource, constant, id)
#define KORVEN_LAYOUT_CONTROLS(X)                                                                  \
    X(PANEL, PANEL_STATUS, 2)                                                                      \
    X(PANEL, PANEL_HEADER, 3)                                                                      \
    X(PANEL, PANEL_LOGO, 4)                                                                        \
    X(PANEL, PANEL_BTNRun, 5)                                                                      \
    X(PANEL, PANEL_BTNStop, 6)                                                                     \
    X(PANEL, PANEL_BTNVideo, 7)                                                                    \
    X(PANEL, PANEL_BTNSend, 8)                                                                     \
    X(PANEL, PANEL_BTNGet, 9)                                                                      \
    X(PANEL, PANEL_ButtonTeach, 10)                                                                \
    X(PANEL, PANEL_ButtonReset, 11)                                                                \
    X(PANEL, PANEL_RBTRam, 12)                                                                     \
    X(PANEL, PANEL_RBTEeprom, 13)                                                                  \
    X(PANEL, PANEL_RBTFile, 14)                                                                    \
    X(PANEL, PANEL_DropDCom, 15)                                                                   \
    X(PANEL, PANEL_LOOPLOCK_A, 16)                                                                 \
    X(PANEL, PANEL_LOOPLOCK_B, 17)                                                                 \
    X(PANEL, PANEL_LOOPUNLOCK, 18)                                                                 \
    X(PANEL, PANEL_NUMPower, 19)                                                                   \
    X(PANEL, PANEL_NUMVideoThreshold, 20)                                                          \
    X(PANEL, PANEL_NUMTeachValue, 21)                                                              \
    X(PANEL, PANEL_NUMAverage, 22)                                                                 \
    X(PANEL, PANEL_NUMDeltaTol, 23)                                                                \
    X(PANEL, PANEL_NEDITEdgeLeft, 24)                                                              \
    X(PANEL, PANEL_NEDITEdgeRight, 25)                                                             \
    X(PANEL, PANEL_NEDITTolerance, 26)                                                             \
    X(PANEL, PANEL_DropRs232Mode, 27)                                                              \
    X(PANEL, PANEL_DropAnaMode, 28)                                                                \
    X(PANEL, PANEL_DropPolarity, 29)                                                               \
    X(PANEL, PANEL_DropEvalMode, 30)                                                               \
    X(PANEL, PANEL_DropEHardware, 31)                                                              \
    X(PANEL, PANEL_TOGGBTN_OpMode, 32)                                                             \
    X(PANEL, PANEL_TOGGBTN_ParaII, 33)                                                             \
    X(PANEL, PANEL_TOGGBTN_Zoom, 34)                                                               \
    X(PANEL, PANEL_NUMLedge, 35)                                                                   \
    X(PANEL, PANEL_NUMRedge, 36)                                                                   \
    X(PANEL, PANEL_NUMMValue, 37)                                                                  \
    X(PANEL, PANEL_NUMMValueB, 38)                                                                 \
    X(PANEL, PANEL_NUMTolDisplay, 39)                                                              \
    X(PANEL, PANEL_NUMAnaMax, 40)                                                                  \
    X(PANEL, PANEL_NUMAnaMin, 41)                                                                  \
    X(PANEL, PANEL_NUMUmValue, 42)                                                                 \
    X(PANEL, PANEL_GRAPH_VIDEO, 43)                                                                \
    X(PANEL, PANEL_GRAPH_EDGES, 44)                                                                \
    X(PANEL, PANEL_GRAPH_RAW, 45)                                                                  \
    X(PANEL, PANEL_TOGGBTN_Rec, 46)                                                                \
    X(PANEL, PANEL_RecInfo, 47)                                                                    \
    X(PANEL, PANEL_TEXTBOXStatistics, 48)                                                          \
    X(PANEL, PANEL_BTNStatReset, 49)                                                               \
    X(PANEL, PANEL_BTNCompare, 50)                                                                 \
    X(PANEL, PANEL_TEXTBOXHistory, 51)                                                             \
    X(PANEL, PANEL_BTNReport, 52)                                                                  \
    X(PANEL, PANEL_BTNMqtt, 53)                                                                    \
    X(POPUP, POPUP_ActivateCalibration, 102)                                                       \
    X(POPUP, POPUP_DiscardCalibration, 103)                                                        \
    X(POPUP, POPUP_ButtonAcceptObject1, 104)                                                       \
    X(POPUP, POPUP_ButtonAcceptObject2, 105)                                                       \
    X(POPUP, POPUP_ButtonDoFit, 106)                                                               \
    X(POPUP, POPUP_ButtonSaveCalValues, 107)                                                       \
    X(POPUP, POPUP_CheckStep1, 108)                                                                \
    X(POPUP, POPUP_CheckStep2, 109)                                                                \
    X(POPUP, POPUP_NEDITObject1, 110)                                                              \
    X(POPUP, POPUP_NEDITObject2, 111)                                                              \
    X(POPUP, POPUP_NUMPixel1, 112)                                                                 \
    X(POPUP, POPUP_NUMPixel2, 113)                                                                 \
    X(POPUP, POPUP_NUMFitSlope, 114)                                                               \
    X(POPUP, POPUP_NUMFitOffset, 115)                                                              \
    X(POPUP, POPUP_NUMSlope, 116)                                                                  \
    X(POPUP, POPUP_NUMOffset, 117)                                                                 \
    X(POPUP, POPUP_TEXTBOXSensor, 118)                                                             \
    X(COMPARE, COMPARE_BTNReadSensor, 202)                                                         \
    X(COMPARE, COMPARE_BTNReadFile, 203)                                                           \
    X(COMPARE, COMPARE_TEXTBOXTable, 204)                                                          \
    X(REPORT, REPORT_TEXTOperator, 302)                                                            \
    X(REPORT, REPORT_TEXTReference, 303)                                                           \
    X(REPORT, REPORT_NUMTolerance, 304)                                                            \
    X(REPORT, REPORT_BTNTakeObject1, 305)                                                          \
    X(REPORT, REPORT_BTNTakeObject2, 306)                                                          \
    X(REPORT, REPORT_TEXTBOXSummary, 307)                                                          \
    X(REPORT, REPORT_BTNWriteReport, 308)                                                          \
    X(MQTT, MQTT_TOGGBTN_MqttOn, 402)                                                              \
    X(MQTT, MQTT_STRUrl, 403)                                                                      \
    X(MQTT, MQTT_STRUser, 404)                                                                     \
    X(MQTT, MQTT_STRPassword, 405)                                                                 \
    X(MQTT, MQTT_STRStation, 406)                                                                  \
    X(MQTT, MQTT_STRPrefix, 407)                                                                   \
    X(MQTT, MQTT_NUMRate, 408)                                                                     \
    X(MQTT, MQTT_STATUS, 409)

#define KORVEN_DECLARE_CONTROL_ID(resource, name, id) constexpr int name = id;
KORVEN_LAYOUT_CONTROLS(KORVEN_DECLARE_CONTROL_ID)
#undef KORVEN_DECLARE_CONTROL_ID
