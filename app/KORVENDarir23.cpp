// KORVEN-Darir: global state, main panel commands, live video loop,
// start-up and shutdown.
#include "app/KORVENDarir23.h"

#include "analysis/panel.h"
#include "app/line_owner.h"
#include "app/logo.h"
#include "app/messages.h"
#include "app/report_command.h"
#include "app/setup_record.h"
#include "calibration/popup.h"
#include "display/gui.h"
#include "link/com232.h"
#include "link/line_guard.h"
#include "publish/mqtt_glue.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>

namespace korven {

// ---- Global state ------------------------------------------------------
int sync = 0x55;

int pHandle = 0;
int pPopup = 0;
int com = 0;
int order = 0;
int target = 0;
int rx_flag = 0;
int stop_flag = 0;
int graphrefresh = 0;
int nBytesW = 0;
int nBytesR = 0;
int ret = 0;
double tstart = 0.0;
double tdiff = 0.0;
u16 pp[PNUM] = {};
unsigned char szWriteBuf[kBufLen] = {};
unsigned char szReadBuf[kBufLen] = {};

u16 power = 0;
u16 rs232Mode = 0;
u16 vThd = 0;
u16 anaMode = 0;
u16 polarity = 0;
u16 eMode = 0;
u16 eBeg = 0;
u16 eEnd = 0;
u16 tVal = 0;
u16 tTol = 0;
u16 opMode = 0;
u16 eHardware = 0;
u16 slope = 0;
u16 intersect = 0;
u16 average = 0;
u16 deltaTol = 0;

u16 Ledge = 0;
u16 Redge = 0;
u16 Mvalue = 0;
int umValue = 0;
u16 edcnt = 0;
u16 mvstart = 0;
u16 mvend = 0;
u16 anaMax = 0;
u16 anaMin = 0;

u16 pcbtype = 0;
u16 ccdtype = 0;
u16 ccdresolution = 0;
u16 ccdmaxpixel = 0;
u16 ccdmaxpixelX8 = 0;
u16 ccdsubpixel = 0;
u16 ccdpixE = 0;
u16 pixB = 0;
u16 pixE = 0;
u16 softversion = 0;
u16 YAXISMAX = 1024;
char szVersion[72] = {};

u16 adcbuf[256] = {};
double xArray[256] = {};
double xArray8[256] = {};
u16 thdArray[256] = {};
double arrayNORM[500] = {};

char szStatus[kStatusLen] = {};
char szSoftName[72] = {};
char szSoftVersion[72] = {};
char proj_dir[MAX_PATHNAME_LEN] = {};
std::string file_name;

double pixel[2] = {241.0, 662.0};
double umeter[2] = {7960.0, 21960.0};
double zarray[2] = {0.0, 0.0};
double slopeval = 0.0;
double interval = 0.0;
double mse = 0.0;
u16 flagstep1 = 0;
u16 flagstep2 = 0;
u16 oldMode = 0;

void StoreDefaults() {
    power = 500;
    rs232Mode = 0;
    vThd = 512;
    anaMode = 0;
    polarity = 1;
    eMode = 1;
    eBeg = 1;
    eEnd = 1024;
    tVal = 512;
    tTol = 100;
    eHardware = 1;
    slope = SLOPEMULTI;
    intersect = YOFFSET;
    pixB = 1;
    pixE = 1024;
    com = 1;
    sync = 0x55;
    order = 1;
    target = RAM;
    rx_flag = 0;
    stop_flag = 1;
    ccdmaxpixel = 1024;
    ccdmaxpixelX8 = 8192;
    pcbtype = 0;
}

void ResetAllGlobals() {
    ResetPublishing();
    ResetAnalysis();
    sync = 0x55;
    pHandle = pPopup = com = order = target = 0;
    rx_flag = stop_flag = graphrefresh = nBytesW = nBytesR = ret = 0;
    tstart = tdiff = 0.0;
    std::fill(std::begin(pp), std::end(pp), u16{0});
    std::fill(std::begin(szWriteBuf), std::end(szWriteBuf), 0);
    std::fill(std::begin(szReadBuf), std::end(szReadBuf), 0);

    power = rs232Mode = vThd = anaMode = polarity = eMode = eBeg = eEnd = 0;
    tVal = tTol = opMode = eHardware = slope = intersect = average = deltaTol = 0;

    Ledge = Redge = Mvalue = edcnt = mvstart = mvend = anaMax = anaMin = 0;
    umValue = 0;

    pcbtype = ccdtype = ccdresolution = ccdmaxpixel = ccdmaxpixelX8 = ccdsubpixel = 0;
    ccdpixE = pixB = pixE = softversion = 0;
    YAXISMAX = 1024;
    std::fill(std::begin(szVersion), std::end(szVersion), '\0');

    std::fill(std::begin(adcbuf), std::end(adcbuf), u16{0});
    std::fill(std::begin(xArray), std::end(xArray), 0.0);
    std::fill(std::begin(xArray8), std::end(xArray8), 0.0);
    std::fill(std::begin(thdArray), std::end(thdArray), u16{0});
    std::fill(std::begin(arrayNORM), std::end(arrayNORM), 0.0);

    std::fill(std::begin(szStatus), std::end(szStatus), '\0');
    std::fill(std::begin(szSoftName), std::end(szSoftName), '\0');
    std::fill(std::begin(szSoftVersion), std::end(szSoftVersion), '\0');
    std::fill(std::begin(proj_dir), std::end(proj_dir), '\0');
    file_name.clear();

    pixel[0] = 241.0;
    pixel[1] = 662.0;
    umeter[0] = 7960.0;
    umeter[1] = 21960.0;
    zarray[0] = zarray[1] = 0.0;
    slopeval = interval = mse = 0.0;
    flagstep1 = flagstep2 = oldMode = 0;
    ResetLineOwner();
    ResetLineGuard();
    ForgetCalibrationActivation();
    ResetMessageHistory();
    record::ResetSetupRecord();
    ResetReportCommand();
}

void SetStatusText(const char* text) {
    const std::size_t n = text ? strnlen(text, kStatusLen - 1) : 0;
    std::memmove(szStatus, text ? text : "", n);
    szStatus[n] = '\0';
}

void ShowStatus() {
    szStatus[kStatusLen - 1] = '\0';
    SetCtrlVal(pHandle, PANEL_STATUS, szStatus);
}

void ShowStatusLine(const std::string& text) {
    SetStatusText(text.c_str());
    SetCtrlVal(pHandle, PANEL_STATUS, text.c_str());
}

int LoadPopupOnce(int& handle, int resource, const char* name) {
    if (handle > 0) {
        return 0;
    }
    handle = LoadPanel(0, kLayoutFile, resource);
    if (handle < 0) {
        handle = 0;
        ShowStatusLine(std::string("Cannot load the ") + name + " panel");
        return -1;
    }
    return 1;
}

// ---- Start-up and shutdown ---------------------------------------------

namespace {

// The parameter file dialogues of SEND and GET propose this file.
constexpr const char* kParaFileName = "KRVNpara.dat";
constexpr const char* kParaFileFilter = "*.dat";

} // namespace

void InitVars() {
    StoreDefaults();
    StartMessageHistory(pHandle);

    SetStatusText("InitVars");
    ShowStatus();

    std::strcpy(szSoftVersion, "Version 2.3");
    std::strcpy(szSoftName, "KORVEN-Darir");
    ShowLogo(2);

    // The panel's controls replace the defaults of every value they hold.
    GetPanelValues();

    // First marks of the edge graph: set-point and window limits, and the
    // tolerance band (its left end may lie left of zero).
    DeleteGraphPlot(pHandle, PANEL_GRAPH_EDGES, ALL_PLOTS, VAL_IMMEDIATE_DRAW);
    SetGraphCursor(pHandle, PANEL_GRAPH_EDGES, 1, tVal, 1.0);
    SetGraphCursor(pHandle, PANEL_GRAPH_EDGES, 2, eBeg, 1.0);
    SetGraphCursor(pHandle, PANEL_GRAPH_EDGES, 3, eEnd, 1.0);
    const int bandLeft = static_cast<int>(tVal) - static_cast<int>(tTol);
    const int bandRight = static_cast<int>(tVal) + static_cast<int>(tTol);
    PlotRectangle(pHandle, PANEL_GRAPH_EDGES, bandLeft, 0.0, bandRight, 0.25, MakeColor(0, 255, 0),
                  MakeColor(0, 255, 0));

    for (int i = 0; i < 256; ++i) {
        xArray[i] = 4.0 * i;
        thdArray[i] = vThd;
    }
}

int LoadProgramPanels(void* hInstance) {
    if (InitCVIRTE(hInstance, nullptr, nullptr) == 0) {
        return -1;
    }
    pHandle = LoadPanel(0, kLayoutFile, PANEL);
    if (pHandle < 0) {
        return -1;
    }
    pPopup = LoadPanel(0, kLayoutFile, POPUP);
    if (pPopup < 0) {
        return -1;
    }
    GetProjectDir(proj_dir);
    return 0;
}

int WinMain(void* hInstance, void* /*hPrevInstance*/, char* /*lpszCmdLine*/, int /*nCmdShow*/) {
    if (LoadProgramPanels(hInstance) < 0) {
        return -1;
    }

    InitVars();
    // A missing or silent sensor leaves its message in the status line; the
    // program runs on with the panel's values.
    InitRS232(com);
    // Publishing stays on from the last run when the operator left it on.
    if (const MqttOptions mqtt = LoadMqttOptions(); mqtt.enabled) {
        if (const std::string why = StartPublishing(mqtt); !why.empty()) {
            ShowStatusLine("MQTT not started: " + why);
        }
    }

    DisplayPanel(pHandle);
    RunUserInterface();
    // Rows of a recording still in memory reach the disk.
    AnalysisShutdown();
    StopPublishing();

    // The port is usually closed already by the panel's close; closing it
    // again does no harm.
    CloseCom(com);
    DiscardPanel(pPopup);
    DiscardPanel(pHandle);
    return 0;
}

// ---- Main panel commands -------------------------------------------------

int CC_PANEL(int /*panel*/, int event, void* /*callbackData*/, int /*eventData1*/,
             int /*eventData2*/) {
    if (event == EVENT_CLOSE) {
        stop_flag = 1;
        // Nothing held back for a running loop is sent any more.
        DropHeldCommands();
        CloseCom(com);
        QuitUserInterface(0);
    }
    return 0;
}

int CC_BTNRun(int /*panel*/, int /*control*/, int event, void* /*callbackData*/, int /*eventData1*/,
              int /*eventData2*/) {
    // A loop already running (stop_flag 0) is not started a second time; one
    // still finishing after a stop is followed by this one (PushRUN holds it).
    if (event == EVENT_COMMIT && stop_flag != 0) {
        PushRUN();
    }
    return 0;
}

int CC_BTNStop(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
               int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_LEFT_CLICK) {
        stop_flag = 1;
        // A loop start pressed while the stopped loop was finishing is
        // called off too.
        DropHeldLoopStarts();
        SetCtrlAttribute(pHandle, PANEL_LOOPLOCK_A, ATTR_DIMMED, 0);
        SetCtrlAttribute(pHandle, PANEL_LOOPLOCK_B, ATTR_DIMMED, 0);
    }
    return 0;
}

int CC_ButtonTeach(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2) {
    if (event != EVENT_COMMIT || HoldWhileLineInUse(CC_ButtonTeach, panel, control, event,
                                                    callbackData, eventData1, eventData2)) {
        return 0;
    }
    const LineCommand onLine;
    FlushInQ(com);
    FlushOutQ(com);
    rx_flag = 0;
    // The packet goes out as it stands; the sensor takes its current
    // measured value as the new set-point.
    order = CMD_TEACH;
    FillTxBuf(CMD_TEACH, pp);
    WriteFrame(com);
    SetCtrlVal(pHandle, PANEL_STATUS, "New setpoint value teached!");

    tstart = Timer();
    do {
        if (rx_flag == 1) {
            break;
        }
        ProcessSystemEvents();
        tdiff = Timer() - tstart;
    } while (tdiff < TIMEOUT);

    // An answer that came in the very pass in which the time ran out still
    // counts. Without one the teach is unconfirmed, and the status line must
    // not go on claiming that it happened.
    if (rx_flag == 1) {
        PushGET(RAM);
    } else {
        SetStatusText("Teach not confirmed: Timeout-RS-232...");
        ShowStatus();
    }
    return 0;
}

int CC_NUMVideoThreshold(int panel, int control, int event, void* /*callbackData*/,
                         int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_VAL_CHANGED) {
        unsigned short threshold = 0;
        GetCtrlVal(panel, control, &threshold);
        std::fill(std::begin(thdArray), std::end(thdArray), static_cast<u16>(threshold));
        // The video graph's axis is in sub-pixels, as the video loop draws.
        PlotVIDEOCurve(adcbuf, xArray8);
    }
    return 0;
}

namespace {

// Closes the port in use and connects to `port`. A running loop switches
// when nothing of its cycle is on the line any more, and then ends. The old
// port is closed in any case, also when the new one cannot be opened.
void ConnectTo(int port) {
    stop_flag = 1;
    CloseCom(com);
    com = port;
    SetCtrlVal(pHandle, PANEL_STATUS, "Init COM-Port ...");
    InitRS232(com);
}

} // namespace

int CC_DropDCom(int panel, int control, int event, void* /*callbackData*/, int /*eventData1*/,
                int /*eventData2*/) {
    // Every choice in the list commits, also a second choice of the port
    // shown (to reconnect); a new port reports a changed value first. Only
    // the commit connects, so that one choice identifies the sensor once.
    // A choice held while the line is in use connects to the port chosen
    // then, whatever the list shows when it runs.
    if (event == EVENT_COMMIT) {
        int chosen = 0;
        GetCtrlVal(panel, control, &chosen);
        // A running loop ends at its next pass (not at the time-out of a
        // port that has gone); the switch follows once it has.
        stop_flag = 1;
        if (!HoldAction([chosen] { ConnectTo(chosen); })) {
            ConnectTo(chosen);
        }
    }
    return 0;
}

namespace {

// Whether the panel's window ends left of where it begins. The sensor
// finds no edge in such a window.
bool PanelWindowInverted() {
    unsigned short left = 0;
    unsigned short right = 0;
    GetCtrlVal(pHandle, PANEL_NEDITEdgeLeft, &left);
    GetCtrlVal(pHandle, PANEL_NEDITEdgeRight, &right);
    return left > right;
}

// SEND to the target the operator had chosen when pressing it. A set with
// an inverted window goes nowhere: neither to the sensor nor into a file
// that would bring it there later.
void SendTo(int chosenTarget) {
    const LineCommand onLine;
    if (PanelWindowInverted()) {
        SetStatusText("Not sent: Edge left is above Edge right!");
        ShowStatus();
        return;
    }
    SetCtrlVal(pHandle, PANEL_STATUS, "Transmit...");
    if (chosenTarget == DATFILE) {
        const int chosen =
            FileSelectPopup(FileFolder(kParaFolderKind).c_str(), kParaFileName, kParaFileFilter,
                            "KORVEN-Series Parameter File", VAL_OK_BUTTON, 0, 1, 1, 1, file_name);
        if (chosen > 0) {
            NoteFileFolder(kParaFolderKind, file_name.c_str());
            SendParaToFile();
        }
        return;
    }
    sync = 0x55;
    order = chosenTarget == EEPROM ? CMD_WRITE_EEPROM : CMD_WRITE_RAM;
    GetPanelValues();
    CopyVarsToPP();
    FillTxBuf(order, pp);
    WriteFrame(com);
    if (nBytesW != kFrameBytes) {
        return;
    }
    // The sensor does not acknowledge a write: the set is read back from
    // the same memory, and only a set that reads back word for word is
    // reported as sent. The panel keeps what the operator entered either
    // way; the text names the words the sensor holds otherwise.
    analysis::ParameterWords sent{}, read{};
    std::copy(std::begin(pp), std::end(pp), sent.begin());
    // The read-back request empties the port's queues: the frame written
    // must have left first.
    const double gone = Timer() + kFrameBytes * LineByteTime() + kQuietTime;
    while (Timer() < gone) {
        ProcessSystemEvents();
    }
    const char* memory = chosenTarget == EEPROM ? "EEPROM" : "RAM";
    const record::Memory written =
        chosenTarget == EEPROM ? record::Memory::Eeprom : record::Memory::Ram;
    if (!ReadParameterSet(chosenTarget == EEPROM ? CMD_READ_EEPROM : CMD_READ_RAM, read)) {
        record::NoteParameterSet(written, sent.data(), "written, not read back");
        ShowStatusLine(std::string("SEND not confirmed: no read-back from ") + memory +
                       " (Timeout-RS-232...)");
        return;
    }
    const std::string differences = analysis::DifferenceList(sent, read);
    // What the sensor holds now is the set left.
    record::NoteParameterSet(written, read.data(),
                             differences.empty() ? "written and read back"
                                                 : "written, read back differs");
    NotifyProgramEvent(
        ProgramEvent(ProgramEventKind::ParametersWritten, chosenTarget, differences.empty(), read));
    if (differences.empty()) {
        SetCtrlVal(pHandle, PANEL_STATUS, "Line Ok!");
    } else {
        ShowStatusLine(std::string("SEND not confirmed: ") + memory + " differs in " + differences);
    }
}

// GET from the target the operator had chosen when pressing it.
void GetFrom(int chosenTarget) {
    const LineCommand onLine;
    if (chosenTarget == DATFILE) {
        // The file reader leaves its outcome in szStatus; the read-back then
        // shows the globals (changed or not) and that text.
        ReadParaFromFile();
        PushGET(DATFILE);
        return;
    }
    order = chosenTarget == EEPROM ? CMD_READ_EEPROM : CMD_READ_RAM;
    PushGET(chosenTarget);
}

} // namespace

int CC_BTNSend(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
               int /*eventData1*/, int /*eventData2*/) {
    const int chosen = target;
    if (event == EVENT_LEFT_CLICK && !HoldAction([chosen] { SendTo(chosen); })) {
        SendTo(chosen);
    }
    return 0;
}

int CC_BTNGet(int /*panel*/, int /*control*/, int event, void* /*callbackData*/, int /*eventData1*/,
              int /*eventData2*/) {
    const int chosen = target;
    if (event == EVENT_COMMIT && !HoldAction([chosen] { GetFrom(chosen); })) {
        GetFrom(chosen);
    }
    return 0;
}

namespace {

// One of the three target buttons changed. Turning the selected button off
// falls back to RAM; RAM itself cannot be turned off.
void SelectTarget(int panel, int control, int code) {
    int on = 0;
    GetCtrlVal(panel, control, &on);
    if (on == 0) {
        target = RAM;
        SetCtrlVal(pHandle, PANEL_RBTRam, 1);
        return;
    }
    SetCtrlVal(pHandle, control, 1);
    target = code;
    for (const int other : {PANEL_RBTRam, PANEL_RBTEeprom, PANEL_RBTFile}) {
        if (other != control) {
            SetCtrlVal(pHandle, other, 0);
        }
    }
}

} // namespace

int CC_RBTRam(int panel, int control, int event, void* /*callbackData*/, int /*eventData1*/,
              int /*eventData2*/) {
    if (event == EVENT_VAL_CHANGED) {
        SelectTarget(panel, control, RAM);
    }
    return 0;
}

int CC_RBTEeprom(int panel, int control, int event, void* /*callbackData*/, int /*eventData1*/,
                 int /*eventData2*/) {
    if (event == EVENT_VAL_CHANGED) {
        SelectTarget(panel, control, EEPROM);
    }
    return 0;
}

int CC_RBTFile(int panel, int control, int event, void* /*callbackData*/, int /*eventData1*/,
               int /*eventData2*/) {
    if (event == EVENT_VAL_CHANGED) {
        SelectTarget(panel, control, DATFILE);
    }
    return 0;
}

int CC_NEDITEdgeLeft(int panel, int control, int event, void* /*callbackData*/, int /*eventData1*/,
                     int /*eventData2*/) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    unsigned short v = 0;
    GetCtrlVal(panel, control, &v);
    // Outside the sensor's line the limit is pulled inside: below it to its
    // first position, beyond it to one short of the last.
    const u16 last = WindowLast();
    if (v < pixB) {
        v = pixB;
    }
    if (v > last) {
        v = static_cast<u16>(last - 1);
    }
    // Stored at once, so that the next redraw of the edge graph keeps the
    // cursor where the operator put it.
    eBeg = v;
    SetCtrlVal(panel, control, static_cast<int>(v));
    SetGraphCursor(pHandle, PANEL_GRAPH_EDGES, 2, v, 1.0);
    return 0;
}

int CC_NEDITEdgeRight(int panel, int control, int event, void* /*callbackData*/, int /*eventData1*/,
                      int /*eventData2*/) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    unsigned short v = 0;
    GetCtrlVal(panel, control, &v);
    const u16 last = WindowLast();
    if (v > last) {
        v = last;
    }
    if (v < pixB) {
        v = static_cast<u16>(pixB + 1);
    }
    eEnd = v;
    SetCtrlVal(panel, control, static_cast<int>(v));
    SetGraphCursor(pHandle, PANEL_GRAPH_EDGES, 3, v, 1.0);
    return 0;
}

int CC_TOGGBTN_ParaII(int panel, int control, int event, void* /*callbackData*/, int /*eventData1*/,
                      int /*eventData2*/) {
    if (event == EVENT_COMMIT) {
        int shown = 0;
        GetCtrlVal(panel, control, &shown);
        if (shown != 0) {
            DisplayPanel(pPopup);
        } else {
            HidePanel(pPopup);
        }
    }
    return 0;
}

// ---- Live video loop -------------------------------------------------------

namespace {

// Set when the last answer or block of the video loop was not what the
// sensor should have sent (turned away, of the wrong length, with bytes
// trailing it): more bytes of it may still be on the wire.
bool videoLineSuspect = false;

// Each request of the video loop goes out on a quiet line. Waiting for the
// line costs time, so it is done only when there is reason to: something
// is arriving, or the last answer or block was off. A clean line pays
// nothing. The wait lasts at least until the last request's answer could
// have passed. A stop ends the wait; returns false then, since the line may
// not be quiet.
bool QuietLineForRequest() {
    bool quiet = true;
    if (videoLineSuspect || GetInQLen(com) > 0) {
        WaitForQuietLine(kQuietTime, AnswerDue() + kQuietTime, true, true);
        quiet = stop_flag == 0;
    }
    videoLineSuspect = false;
    return quiet;
}

// Time after the last block of a line in which nothing may come: bytes
// behind it mean that the blocks were out of step.
double TrailCheckTime() {
    return 2.0 * LineByteTime();
}

// Reads the 256 video samples into adcbuf: four 64-sample blocks on the
// boards that deliver them so, one 256-sample block on all others. A
// command that waits for the line (or a stop that cut a quiet-line wait
// short) ends the line after the block in flight; so does a block that was
// not taken. Returns false then, and the incomplete line is not drawn.
bool ReadVideoSignal() {
    const bool fourBlocks = pcbtype == 0 || pcbtype == 100;
    for (int start = 0; start < 256; start += fourBlocks ? 64 : 256) {
        if (!QuietLineForRequest() || CommandsHeld()) {
            return false;
        }
        if (fourBlocks) {
            ReadData64(start, start == 192 ? 1 : 0);
        } else {
            ReadData256();
        }
        if (!VideoBlockAccepted()) {
            videoLineSuspect = true;
            return false;
        }
    }
    if (!NothingTrails(TrailCheckTime())) {
        CountRejectedFrame(FrameVerdict::OutOfStep, 0);
        SetCtrlVal(pHandle, PANEL_STATUS, DisturbanceText().c_str());
        videoLineSuspect = true;
        return false;
    }
    return true;
}

} // namespace

int CC_BTNVideo(int panel, int control, int event, void* callbackData, int eventData1,
                int eventData2) {
    // A loop already running (stop_flag 0) is not started a second time; one
    // still finishing after a stop is followed by this one once it has ended.
    if (event != EVENT_COMMIT || stop_flag == 0 || HoldLoopStart([=] {
            CC_BTNVideo(panel, control, event, callbackData, eventData1, eventData2);
        })) {
        return 0;
    }

    SetCtrlAttribute(pHandle, PANEL_GRAPH_RAW, ATTR_VISIBLE, 0);
    SetCtrlAttribute(pHandle, PANEL_GRAPH_VIDEO, ATTR_VISIBLE, 1);
    DimLoopControls();
    SelectRamTarget();
    SetAxisScalingMode(pHandle, PANEL_GRAPH_VIDEO, VAL_XAXIS, VAL_MANUAL, 1.0, ccdpixE);
    stop_flag = 0;
    LoopStarted();

    videoLineSuspect = false;
    do {
        // Between two cycles nothing is on the line: the commands given
        // meanwhile run here. One of them may have ended the loop.
        if ((RunHeldCommands() && stop_flag != 0) || !QuietLineForRequest()) {
            break;
        }
        FlushInQ(com);
        FlushOutQ(com);
        rx_flag = 0;
        // Set by the receive notification with rx_flag; an answer that a
        // command run in between has taken for itself comes back with it
        // cleared and is no measurement.
        graphrefresh = 0;
        order = CMD_RUN;
        FillTxBuf(CMD_RUN, pp);
        tstart = Timer();
        const LineDisturbance mark = Disturbance();
        WriteFrame(com);

        while (rx_flag != 1) {
            ProcessSystemEvents();
            // A frame turned away: the cycle starts again on a quiet line.
            if (DisturbedSince(mark)) {
                SetCtrlVal(pHandle, PANEL_STATUS, DisturbanceText().c_str());
                videoLineSuspect = true;
                break;
            }
            tdiff = Timer() - tstart;
            if (tdiff > TIMEOUT) {
                SetCtrlVal(pHandle, PANEL_STATUS, "Timeout RS232-Line!");
                stop_flag = 1;
                break;
            }
        }

        // A command given while the answer was awaited leaves the rest of the
        // cycle out; it runs at the start of the next one.
        if (rx_flag == 1 && graphrefresh == 1 && !CommandsHeld()) {
            TakeRunAnswer();
            // The blocks are raw bytes: the notification must not take them.
            SilenceRxNotification();
            FlushInQ(com);
            FlushOutQ(com);
            const bool complete = ReadVideoSignal();
            InstallRxNotification();
            if (complete) {
                PlotVIDEOBarGraph();
                PlotVIDEOCurve(adcbuf, xArray8);
                VideoLineTaken();
                record::NoteVideoLine();
            }
        }
        ProcessSystemEvents();
    } while (stop_flag == 0);

    UndimLoopControls();
    AnalysisLoopEnded();
    InstallRxNotification();
    FlushOutQ(com);
    FlushInQ(com);
    // Commands held to the end, a loop start among them, run now.
    LoopEnded();
    return 0;
}

} // namespace korven
