// KORVEN-Darir: the program's global state, the main panel's callbacks,
// the live video loop, start-up and shutdown.
//
// The whole program works on the named globals below; callbacks share
// everything through them. Everything runs on the user-interface thread.
#pragma once

#include "app/KORVENDarir23_uir.h"
#include "runtime/engine.h"

#include <cstdint>
#include <string>

namespace korven {

using u16 = std::uint16_t;

// ---- Constants (initialised data) -------------------------------------
constexpr int PNUM = 16;
constexpr int RAM = 1;
constexpr int EEPROM = 2;
constexpr int DATFILE = 3;
constexpr int SLOPEMULTI = 1024;
constexpr int SLOPEMULTI_512 = 512;
constexpr int YOFFSET = 30000;
// The largest calibration words a sensor keeps: a slope word of 65535 marks
// an erased word, and the read-back replaces it and an intercept word above
// 60000 with the defaults.
constexpr int kLargestSlopeWord = 65534;
constexpr int kLargestInterceptWord = 60000;
constexpr double TIMEOUT = 1.5;
constexpr int eventMask = 0x8006;
extern int sync; // 0x55; only ever stored with its own value

// The layout file of both panels, beside the program.
constexpr const char* kLayoutFile = "KORVENDarir23.uir";

constexpr int kFrameBytes = PNUM * 2 + 4; // 36
constexpr int kStatusLen = 72;            // szStatus incl. terminator
constexpr int kBufLen = 1024;             // szReadBuf / szWriteBuf

// ---- Link and program state -------------------------------------------
extern int pHandle;
extern int pPopup;
extern int com;
extern int order;
extern int target;
extern int rx_flag;
extern int stop_flag;
extern int graphrefresh;
extern int nBytesW;
extern int nBytesR;
extern int ret;
extern double tstart;
extern double tdiff;
extern u16 pp[PNUM];
extern unsigned char szWriteBuf[kBufLen];
extern unsigned char szReadBuf[kBufLen];

// ---- Parameter set (packet words 0..15) --------------------------------
extern u16 power;
extern u16 rs232Mode;
extern u16 vThd;
extern u16 anaMode;
extern u16 polarity;
extern u16 eMode;
extern u16 eBeg;
extern u16 eEnd;
extern u16 tVal;
extern u16 tTol;
extern u16 opMode;
extern u16 eHardware;
extern u16 slope;
extern u16 intersect;
extern u16 average;
extern u16 deltaTol;

// ---- Run answer -------------------------------------------------------
extern u16 Ledge;
extern u16 Redge;
extern u16 Mvalue;
extern int umValue;
extern u16 edcnt;
extern u16 mvstart;
extern u16 mvend;
extern u16 anaMax;
extern u16 anaMin;

// ---- Sensor description ------------------------------------------------
extern u16 pcbtype;
extern u16 ccdtype;
extern u16 ccdresolution;
extern u16 ccdmaxpixel;
extern u16 ccdmaxpixelX8;
extern u16 ccdsubpixel;
extern u16 ccdpixE;
extern u16 pixB;
extern u16 pixE;
extern u16 softversion;
extern u16 YAXISMAX;
extern char szVersion[72];

// ---- Display arrays ----------------------------------------------------
extern u16 adcbuf[256];
extern double xArray[256];
extern double xArray8[256];
extern u16 thdArray[256];
extern double arrayNORM[500];

// ---- Texts and paths ---------------------------------------------------
extern char szStatus[kStatusLen];
extern char szSoftName[72];
extern char szSoftVersion[72];
extern char proj_dir[MAX_PATHNAME_LEN];
extern std::string file_name; // any length the system allows

// ---- Calibration ------------------------------------------------------
extern double pixel[2];
extern double umeter[2];
extern double zarray[2];
extern double slopeval;
extern double interval;
extern double mse;
extern u16 flagstep1;
extern u16 flagstep2;
extern u16 oldMode;

// Stores the start-up defaults of the parameter set and link state (the
// first step of InitVars). Every other global keeps its value.
void StoreDefaults();

// Brings every global back to the value it holds when the program is
// loaded (before InitVars). Used by tests to start from a clean state.
void ResetAllGlobals();

// Copies text into szStatus, cut to 71 characters and the terminator.
void SetStatusText(const char* text);
// Shows szStatus in PANEL_STATUS.
void ShowStatus();
// Shows a text of any length in PANEL_STATUS (a path does not fit in
// szStatus); szStatus keeps as much of it as fits.
void ShowStatusLine(const std::string& text);

// Loads the pop-up panel `resource` into `handle` when it is not loaded yet.
// Returns 1 when it was loaded now, 0 when it was already, -1 when the layout
// file does not hold it (the status line then says "Cannot load the NAME
// panel").
int LoadPopupOnce(int& handle, int resource, const char* name);

// ---- Start-up and shutdown ---------------------------------------------
// Starts the run-time engine and loads both panels (the start of WinMain);
// -1 when that fails.
int LoadProgramPanels(void* hInstance);
int WinMain(void* hInstance, void* hPrevInstance, char* lpszCmdLine, int nCmdShow);
void InitVars();

// ---- Callbacks --------------------------------------------------------
int CC_PANEL(int panel, int event, void* callbackData, int eventData1, int eventData2);
int CC_BTNRun(int panel, int control, int event, void* callbackData, int eventData1,
              int eventData2);
int CC_BTNStop(int panel, int control, int event, void* callbackData, int eventData1,
               int eventData2);
int CC_BTNVideo(int panel, int control, int event, void* callbackData, int eventData1,
                int eventData2);
int CC_ButtonTeach(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2);
int CC_NUMVideoThreshold(int panel, int control, int event, void* callbackData, int eventData1,
                         int eventData2);
int CC_DropDCom(int panel, int control, int event, void* callbackData, int eventData1,
                int eventData2);
int CC_BTNSend(int panel, int control, int event, void* callbackData, int eventData1,
               int eventData2);
int CC_BTNGet(int panel, int control, int event, void* callbackData, int eventData1,
              int eventData2);
int CC_RBTRam(int panel, int control, int event, void* callbackData, int eventData1,
              int eventData2);
int CC_RBTEeprom(int panel, int control, int event, void* callbackData, int eventData1,
                 int eventData2);
int CC_RBTFile(int panel, int control, int event, void* callbackData, int eventData1,
               int eventData2);
int CC_NEDITEdgeLeft(int panel, int control, int event, void* callbackData, int eventData1,
                     int eventData2);
int CC_NEDITEdgeRight(int panel, int control, int event, void* callbackData, int eventData1,
                      int eventData2);
int CC_TOGGBTN_ParaII(int panel, int control, int event, void* callbackData, int eventData1,
                      int eventData2);

} // namespace korven
