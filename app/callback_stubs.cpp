// Placeholder callbacks, replaced one by one by the real commands.
#include "app/KORVENDarir23.h"
#include "calibration/popup.h"

namespace korven {

#define KORVEN_STUB(fn)                                                                           \
    int fn(int, int, int, void*, int, int) { return 0; }
KORVEN_STUB(CC_BTNRun)
KORVEN_STUB(CC_BTNStop)
KORVEN_STUB(CC_BTNVideo)
KORVEN_STUB(CC_ButtonTeach)
KORVEN_STUB(CC_NUMVideoThreshold)
KORVEN_STUB(CC_DropDCom)
KORVEN_STUB(CC_BTNSend)
KORVEN_STUB(CC_BTNGet)
KORVEN_STUB(CC_RBTRam)
KORVEN_STUB(CC_RBTEeprom)
KORVEN_STUB(CC_RBTFile)
KORVEN_STUB(CC_NEDITEdgeLeft)
KORVEN_STUB(CC_NEDITEdgeRight)
KORVEN_STUB(CC_TOGGBTN_ParaII)
KORVEN_STUB(CC_ActivateCalibration)
KORVEN_STUB(CC_DiscardCalibration)
KORVEN_STUB(CC_CheckStep1)
KORVEN_STUB(CC_CheckStep2)
KORVEN_STUB(CC_ButtonAcceptObject1)
KORVEN_STUB(CC_ButtonAcceptObject2)
KORVEN_STUB(CC_ButtonDoFit)
KORVEN_STUB(CC_ButtonSaveCalValues)
KORVEN_STUB(CC_ButtonReset)
KORVEN_STUB(CC_NEDITTolerance)
#undef KORVEN_STUB

int CC_PANEL(int, int, void*, int, int) { return 0; }
int CC_POPUP(int, int, void*, int, int) { return 0; }

} // namespace korven
