// The run-time engine boundary: panels and controls, events, graphs, the
// serial port, files and time. The program's logic calls only these
// functions; a back end (Qt for the real program, headless for tests)
// supplies their effects. Names, argument orders and codes follow the
// instrument run-time engine the program was first written for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// ---- Events -----------------------------------------------------------
constexpr int EVENT_NONE = 0;
constexpr int EVENT_COMMIT = 1;
constexpr int EVENT_VAL_CHANGED = 2;
constexpr int EVENT_LEFT_CLICK = 3;
constexpr int EVENT_CLOSE = 11;

// ---- Control attributes ----------------------------------------------
constexpr int ATTR_DIMMED = 500;
constexpr int ATTR_VISIBLE = 530;
constexpr int ATTR_LEFT = 531;
constexpr int ATTR_TOP = 532;
constexpr int ATTR_FRAME_COLOR = 550;
constexpr int ATTR_LABEL_TEXT = 641;
constexpr int ATTR_TEXT_COLOR = 680;
constexpr int ATTR_TEXT_FONT = 682;
constexpr int ATTR_TEXT_POINT_SIZE = 686;
constexpr int ATTR_TEXT_BGCOLOR = 690;
constexpr int ATTR_MAX_VALUE = 730;
constexpr int ATTR_MIN_VALUE = 731;
constexpr int ATTR_ON_TEXT = 940;
constexpr int ATTR_OFF_TEXT = 941;
constexpr int ATTR_SCROLL_MODE = 1088; // strip chart display option
constexpr int ATTR_NUM_TRACES = 1170;
constexpr int ATTR_POINTS_PER_SCREEN = 1171;
constexpr int ATTR_TRACE_COLOR = 1230; // trace attribute

constexpr const char* VAL_APP_META_FONT = "NIApp";

// ---- Data types (graphs, files) ---------------------------------------
constexpr int VAL_CHAR = 0;
constexpr int VAL_INTEGER = 1;
constexpr int VAL_SHORT_INTEGER = 2;
constexpr int VAL_FLOAT = 3;
constexpr int VAL_DOUBLE = 4;
constexpr int VAL_STRING = 5;
constexpr int VAL_UNSIGNED_SHORT_INTEGER = 6;
constexpr int VAL_UNSIGNED_INTEGER = 7;
constexpr int VAL_UNSIGNED_CHAR = 8;

// ---- Graphs -----------------------------------------------------------
constexpr int VAL_XAXIS = 0;
constexpr int VAL_LEFT_YAXIS = 1;
constexpr int VAL_MANUAL = 0;
constexpr int VAL_AUTOSCALE = 1;

constexpr int VAL_NO_DRAW = 0;
constexpr int VAL_DELAYED_DRAW = 1;
constexpr int VAL_IMMEDIATE_DRAW = 2;
constexpr int ALL_PLOTS = -1;

constexpr int VAL_THIN_LINE = 0;
constexpr int VAL_FAT_LINE = 5;
constexpr int VAL_NO_POINT = 10;
constexpr int VAL_SOLID = 0;

constexpr int VAL_RED = 0xFF0000;
constexpr int VAL_GREEN = 0x00FF00;
constexpr int VAL_DK_GREEN = 0x008000;
constexpr int VAL_BLACK = 0x000000;
constexpr int VAL_WHITE = 0xFFFFFF;
constexpr int VAL_GRAY = 0x808080;

constexpr int MakeColor(int red, int green, int blue) {
    return ((red & 0xFF) << 16) | ((green & 0xFF) << 8) | (blue & 0xFF);
}

// ---- Controls created at run time -------------------------------------
constexpr int CTRL_TEXT_MSG = 160;

// ---- Serial -----------------------------------------------------------
constexpr int LWRS_RXCHAR = 0x0001;
constexpr int LWRS_RXFLAG = 0x0002;  // event character received
constexpr int LWRS_TXEMPTY = 0x0004; // output queue empty
constexpr int LWRS_RECEIVE = 0x8000; // at least the notify count waiting

// Error codes of OpenComConfig and the other serial calls.
constexpr int kComUnknownSystemError = -1;
constexpr int kComInvalidPortNumber = -2;
constexpr int kComPortNotOpen = -3;
constexpr int kComUnknownIOError = -4;
constexpr int kComNoSerialPort = -6;
constexpr int kComCannotOpenPort = -7;
constexpr int kComInvalidParameter = -13;
constexpr int kComTimeout = -99;

// ---- Files ------------------------------------------------------------
constexpr int VAL_OK_BUTTON = 1;
constexpr int VAL_SAVE_BUTTON = 2;
constexpr int VAL_SELECT_BUTTON = 3;
constexpr int VAL_LOAD_BUTTON = 4;

constexpr int VAL_NO_FILE_SELECTED = 0;
constexpr int VAL_EXISTING_FILE_SELECTED = 1;
constexpr int VAL_NEW_FILE_SELECTED = 2;

constexpr int VAL_GROUPS_TOGETHER = 0;
constexpr int VAL_DATA_MULTIPLEXED = 1;
constexpr int VAL_GROUPS_AS_COLUMNS = 0;
constexpr int VAL_GROUPS_AS_ROWS = 1;
constexpr int VAL_CONST_WIDTH = 0;
constexpr int VAL_SEP_BY_COMMA = 1;
constexpr int VAL_SEP_BY_TAB = 2;
constexpr int VAL_ASCII = 0;
constexpr int VAL_BINARY = 1;
constexpr int VAL_TRUNCATE = 0;
constexpr int VAL_APPEND = 1;

// Result codes of ArrayToFile / FileToArray (0 means success).
constexpr int kFileOpenError = -1;   // file cannot be opened
constexpr int kFileTooShort = -2;    // fewer numbers than requested
constexpr int kFileBadNumber = -3;   // something that is not a valid number
constexpr int kFileWriteError = -4;  // write, flush or rename failed
constexpr int kFileBadArgument = -5; // unsupported arguments
constexpr int kFileExtraData = -6;   // more numbers than requested

constexpr int MAX_PATHNAME_LEN = 260;

// ---- Callback types ---------------------------------------------------
using CtrlCallbackPtr = int (*)(int panel, int control, int event, void* callbackData,
                                int eventData1, int eventData2);
using PanelCallbackPtr = int (*)(int panel, int event, void* callbackData, int eventData1,
                                 int eventData2);
using ComCallbackPtr = void (*)(int portNumber, int eventMask, void* callbackData);

// ---- Utility ----------------------------------------------------------
// Returns 0 on failure. argv may be null.
int InitCVIRTE(void* hInstance, char** argv, void* reserved);
double Timer();
void Delay(double seconds);
int GetProjectDir(char* directory); // directory holds MAX_PATHNAME_LEN bytes

// ---- Panels and controls ----------------------------------------------
// Returns the panel handle (> 0), or a negative value when the layout
// file or the panel resource cannot be loaded.
int LoadPanel(int parentPanel, const char* fileName, int panelResourceId);
int DisplayPanel(int panel);
int HidePanel(int panel);
int DiscardPanel(int panel);

int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, unsigned int value);
int SetCtrlVal(int panel, int control, double value);
int SetCtrlVal(int panel, int control, const char* value);

int GetCtrlVal(int panel, int control, int* value);
int GetCtrlVal(int panel, int control, unsigned short* value);
int GetCtrlVal(int panel, int control, unsigned int* value);
int GetCtrlVal(int panel, int control, double* value);
int GetCtrlVal(int panel, int control, float* value);
int GetCtrlVal(int panel, int control, char* value); // at most 1024 bytes incl. terminator

int SetCtrlAttribute(int panel, int control, int attribute, int value);
int SetCtrlAttribute(int panel, int control, int attribute, double value);
int SetCtrlAttribute(int panel, int control, int attribute, const char* value);
int GetCtrlAttribute(int panel, int control, int attribute, int* value);
int GetCtrlAttribute(int panel, int control, int attribute, double* value);
int GetCtrlAttribute(int panel, int control, int attribute, char* value); // 1024 bytes

int InstallCtrlCallback(int panel, int control, CtrlCallbackPtr fn, void* callbackData);
int InstallPanelCallback(int panel, PanelCallbackPtr fn, void* callbackData);

// Returns the new control's id, negative on failure.
int NewCtrl(int panel, int style, const char* label, int top, int left);
int ReplaceTextBoxLine(int panel, int control, int lineIndex, const char* text);
int DisplayImageFile(int panel, int control, const char* fileName);

// Called with every text that SetCtrlVal puts into the observed control,
// after the control took it. One observer at a time; fn nullptr removes
// it. It belongs to the back end installed when it was set and is not
// called under another one.
using CtrlTextObserverPtr = void (*)(int panel, int control, const char* text, void* data);
int ObserveCtrlText(int panel, int control, CtrlTextObserverPtr fn, void* data);

// Texts the run-time itself has for the operator (a graph exported from
// its context menu, or not): handed to the function installed here, which
// shows them where the program shows its own status. Without one they are
// dropped.
using OperatorMessagePtr = void (*)(const char* text);
int InstallOperatorMessage(OperatorMessagePtr fn);
void TellOperator(const char* text);

// ---- Events -----------------------------------------------------------
int RunUserInterface();
int QuitUserInterface(int returnCode);
int ProcessSystemEvents();

// Runs `fn` on the user-interface thread at its next event pass (of a
// loop's wait or of the idle event loop). The one call that may be made
// from any thread: other threads hand their results to the panels so.
void PostDeferredCall(std::function<void()> fn);
// Runs the calls posted so far, in the order they were posted; the event
// passes call it.
void RunDeferredCalls();
// Called (from the posting thread) after each post, so that an idle event
// loop wakes up for it; the Qt back end installs one. nullptr removes it.
void SetDeferredCallWaker(std::function<void()> waker);

// ---- Graphs -----------------------------------------------------------
int PlotXY(int panel, int control, const void* xArray, const void* yArray, int numberOfPoints,
           int xDataType, int yDataType, int plotStyle, int pointStyle, int lineStyle,
           int pointFrequency, int color);
int PlotRectangle(int panel, int control, double x1, double y1, double x2, double y2, int color,
                  int fillColor);
int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh);
int SetGraphCursor(int panel, int control, int cursorNumber, double x, double y);
int SetAxisScalingMode(int panel, int control, int axis, int axisScaling, double min, double max);
int SetTraceAttribute(int panel, int control, int traceNumber, int attribute, int value);
int PlotStripChart(int panel, int control, const void* array, int numberOfPoints, int startingIndex,
                   int skipCount, int dataType);

// ---- Serial -----------------------------------------------------------
int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
int CloseCom(int port);
int SetComTime(int port, double timeoutSeconds);
int SetCTSMode(int port, int mode);
int InstallComCallback(int port, int eventMask, int notifyCount, int eventCharacter,
                       ComCallbackPtr fn, void* callbackData);
int FlushInQ(int port);
int FlushOutQ(int port);
int ComWrt(int port, const char* buffer, int count);
int ComRd(int port, char* buffer, int count);
int GetInQLen(int port);
// The sensor answered on the port: the run-time may remember its adapter as
// the one to list first next time. Opening a port alone does not.
int ComPortAnswered(int port);

// ---- Files ------------------------------------------------------------
// pathName holds MAX_PATHNAME_LEN bytes; a chosen path that does not fit
// is an error (negative result), never cut short.
int FileSelectPopup(const char* defaultDirectory, const char* defaultFileSpec,
                    const char* fileTypeList, const char* title, int buttonLabel,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, char* pathName);
// The same for a path of any length.
int FileSelectPopup(const char* defaultDirectory, const char* defaultFileSpec,
                    const char* fileTypeList, const char* title, int buttonLabel,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, std::string& pathName);
int ArrayToFile(const char* fileName, const void* array, int dataType, int numberOfElements,
                int numberOfGroups, int arrayDataOrder, int fileLayout, int columnSeparation,
                int fieldWidth, int fileType, int fileAction);
int FileToArray(const char* fileName, void* array, int dataType, int numberOfElements,
                int numberOfGroups, int arrayDataOrder, int fileLayout, int fileType);
// The system's reason for the last failure of ArrayToFile (empty after a
// success), e.g. "Permission denied".
std::string LastFileError();

// Where a file dialog for a kind of file ("parameter", "recording", ...)
// starts: the folder of the file last chosen for that kind while it still
// exists, otherwise the user's documents folder; never the program's own
// folder. Remembered across runs where the back end keeps settings.
std::string FileFolder(const char* kind);
// Remembers the folder of `chosenPath` for the kind.
void NoteFileFolder(const char* kind, const char* chosenPath);
// A setting the operator gave, kept for the next run where the back end
// keeps settings ("" when unset), e.g. the name put on reports.
std::string Setting(const char* key);
void SetSetting(const char* key, const char* value);
