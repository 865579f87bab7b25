// The device link: frames and parameter packet, receive notification and
// line check, identification, video blocks, parameter file, port set-up.
#include "link/com232.h"

#include "analysis/panel.h"
#include "display/gui.h"
#include "link/line_guard.h"
#include "runtime/layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <string>

namespace korven {

// ---- Frames and packet -------------------------------------------------
// Every quantity on the wire is a 16-bit word, high byte first.

void FillTxBuf(int command, const u16* words) {
    const auto cmd = static_cast<u16>(command);
    szWriteBuf[0] = static_cast<unsigned char>((sync >> 8) & 0xFF);
    szWriteBuf[1] = static_cast<unsigned char>(sync & 0xFF);
    szWriteBuf[2] = static_cast<unsigned char>(cmd >> 8);
    szWriteBuf[3] = static_cast<unsigned char>(cmd & 0xFF);
    for (int k = 0; k < PNUM; ++k) {
        szWriteBuf[4 + 2 * k] = static_cast<unsigned char>(words[k] >> 8);
        szWriteBuf[5 + 2 * k] = static_cast<unsigned char>(words[k] & 0xFF);
    }
}

void GetRxBuf(int n) {
    n = n < 0 ? 0 : (n > PNUM ? PNUM : n);
    for (int k = 0; k < n; ++k) {
        pp[k] = static_cast<u16>(szReadBuf[4 + 2 * k] * 256 + szReadBuf[5 + 2 * k]);
    }
}

namespace {
// The parameter global behind each packet word, in packet order.
u16* const kPacketWords[PNUM] = {&power, &rs232Mode, &vThd,    &anaMode, &polarity, &eMode,
                                 &eBeg,  &eEnd,      &tVal,    &tTol,    &opMode,   &eHardware,
                                 &slope, &intersect, &average, &deltaTol};
} // namespace

void CopyVarsToPP() {
    for (int k = 0; k < PNUM; ++k) {
        pp[k] = *kPacketWords[k];
    }
}

void CopyPPtoVars() {
    for (int k = 0; k < PNUM; ++k) {
        *kPacketWords[k] = pp[k];
    }
}

// ---- Receive notification and line check -------------------------------

namespace {

// A 16-bit word anywhere in a received block: first byte high, second low.
u16 ReadWord(int byteIndex) {
    return static_cast<u16>(szReadBuf[byteIndex] * 256 + szReadBuf[byteIndex + 1]);
}

char* ReadBufChars() {
    return reinterpret_cast<char*>(szReadBuf);
}

// Reads `waiting` bytes (as measured by GetInQLen) from `com` into
// szReadBuf. Never more than the buffer holds, and nothing when the count is
// not positive (a port that is not open reports a negative count). Returns
// the number of bytes read, 0 on a read error.
int ReadWaitingBytes(int waiting) {
    const int count = std::clamp(waiting, 0, kBufLen);
    if (count == 0) {
        return 0;
    }
    const int got = ComRd(com, ReadBufChars(), count);
    return got < 0 ? 0 : got;
}

// Whether the notification is installed on `com` (it is, once the port is
// set up) or silenced for a raw block read.
bool rxNotificationOn = true;

} // namespace

void InstallRxNotification() {
    InstallComCallback(com, eventMask, kFrameBytes, sync, RX_Receive_Function, nullptr);
    rxNotificationOn = true;
}

bool RxNotificationInstalled() {
    return rxNotificationOn;
}

void WriteFrame(int port) {
    NoteRequestWritten(Timer(), kFrameBytes);
    nBytesW = ComWrt(port, reinterpret_cast<const char*>(szWriteBuf), kFrameBytes);
}

void SilenceRxNotification() {
    InstallComCallback(com, 0, kFrameBytes, sync, nullptr, nullptr);
    rxNotificationOn = false;
}

void RX_Receive_Function(int /*portNumber*/, int events, void* /*callbackData*/) {
    // Only "notify count reached" carries an answer frame; the output-queue
    // and event-character events reach us as well and are ignored.
    if ((events & LWRS_RECEIVE) == 0) {
        return;
    }
    // The notification always reads the port in use, whatever port it was
    // raised for. The frame goes into szReadBuf only once it is taken, so
    // that the buffer always holds the last answer of the sensor.
    unsigned char frame[kFrameBytes] = {};
    const int got = ComRd(com, reinterpret_cast<char*>(frame), kFrameBytes);
    // A read that came back short (the bytes were flushed in between, or the
    // port failed) is no answer: raising rx_flag would hand stale bytes of an
    // earlier answer to the waiting sender as if they were new. The sender
    // then runs into its time-out instead.
    if (got == kFrameBytes) {
        const FrameVerdict verdict = JudgeAnswerFrame(frame, Timer());
        if (verdict == FrameVerdict::Accepted) {
            std::memcpy(szReadBuf, frame, kFrameBytes);
            AnswerTaken();
            GetRxBuf(PNUM);
            rx_flag = 1;
            graphrefresh = 1;
        } else {
            // Not the sensor's answer to the request in flight: nothing of it
            // is taken, and the sender goes on waiting.
            CountRejectedFrame(verdict, kFrameBytes);
        }
    }
    // Whatever arrived beyond one frame is discarded.
    DiscardInput();
}

int WaitForAnswerFrame(double limit) {
    while (rx_flag != 1) {
        ProcessSystemEvents();
        tdiff = Timer() - tstart;
        if (tdiff > limit) {
            break;
        }
    }
    // An answer that completed in the very pass in which the time ran out
    // still counts.
    return rx_flag == 1 ? 1 : 0;
}

int CheckComLine(int port) {
    int result = 0;
    CopyVarsToPP();
    order = CMD_ECHO;
    FillTxBuf(order, pp);
    FlushOutQ(port);
    FlushInQ(port);
    rx_flag = 0;
    const long misalignedBefore = Disturbance().misaligned;
    WriteFrame(port);
    tstart = Timer();
    // The notification takes only frames aligned on the answer sync word; a
    // frame that is not is the check's answer too, and a failed one.
    bool misaligned = false;
    while (rx_flag != 1 && !misaligned) {
        ProcessSystemEvents();
        misaligned = Disturbance().misaligned != misalignedBefore;
        tdiff = Timer() - tstart;
        if (tdiff > TIMEOUT) {
            break;
        }
    }
    if (rx_flag == 1) {
        // The line check looks at the answer sync word, which replaces the
        // first data word in pp.
        pp[0] = ReadWord(0);
        SetStatusText("Echo Check - Line Ok!");
        result = 1;
    } else if (misaligned) {
        SetStatusText("read error - not sync byte 0xAA!");
    } else {
        SetStatusText("Timeout-RS-232...");
    }
    ShowStatus();
    return result;
}

// ---- Device identification ---------------------------------------------

namespace {

void SetDimmed(int control, int dimmed) {
    SetCtrlAttribute(pHandle, control, ATTR_DIMMED, dimmed);
}

void SetVisible(int control, int visible) {
    SetCtrlAttribute(pHandle, control, ATTR_VISIBLE, visible);
}

// The two-line sensor description in the calibration pop-up.
void SetSensorText(const char* line0, const char* line1) {
    ReplaceTextBoxLine(pPopup, POPUP_TEXTBOXSensor, 0, line0);
    ReplaceTextBoxLine(pPopup, POPUP_TEXTBOXSensor, 1, line1);
}

// The texts of the on and off states of the operating-mode toggle.
void SetOpModeTexts(const char* onText, const char* offText) {
    SetCtrlAttribute(pHandle, PANEL_TOGGBTN_OpMode, ATTR_ON_TEXT, onText);
    SetCtrlAttribute(pHandle, PANEL_TOGGBTN_OpMode, ATTR_OFF_TEXT, offText);
}

void SetGainTexts() {
    SetOpModeTexts("HI-GAIN", "LO-GAIN");
}
void SetConverterTexts() {
    SetOpModeTexts("ADC-CNV", "DIG-CMP");
}

void SetPixelWindow(u16 first, u16 last) {
    pixB = first;
    pixE = last;
}

// Firmware from version 220 on sends its video samples in 8-bit range.
void ScaleVideoAxisForFirmware() {
    if (softversion >= 220) {
        YAXISMAX = 256;
    }
}

void ScaleRawGraphToPixels() {
    SetAxisScalingMode(pHandle, PANEL_GRAPH_RAW, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0,
                       static_cast<double>(ccdmaxpixel));
}

// Spacing of the 256 video samples for each line length the sensors have.
struct SampleSpacing {
    int length;
    int step;
};
constexpr SampleSpacing kPixelSpacing[] = {{512, 2},  {768, 3},  {1024, 4},
                                           {1280, 5}, {1536, 6}, {2048, 8}};
// The 1180 and 2360 lines use the whole steps 5 and 10.
constexpr SampleSpacing kSubpixelSpacing[] = {{512, 2},   {768, 3},  {1024, 4}, {1180, 5},
                                              {1280, 5},  {1536, 6}, {2048, 8}, {2360, 10},
                                              {2560, 10}, {8192, 32}};

// The spacing for `length`, 0 when the length is not in the table.
int SpacingFor(std::span<const SampleSpacing> table, int length) {
    const auto it = std::find_if(table.begin(), table.end(),
                                 [length](const SampleSpacing& e) { return e.length == length; });
    return it == table.end() ? 0 : it->step;
}

void FillPositions(double* x, int step) {
    for (int i = 0; i < 256; ++i) {
        x[i] = static_cast<double>(step * i);
    }
}

// x positions of the 256 video samples in pixels.
void FillPixelPositions() {
    int step = SpacingFor(kPixelSpacing, ccdmaxpixel);
    if (step == 0) {
        // Unknown line length: show the samples one pixel apart.
        ccdmaxpixel = 256;
        step = 1;
    }
    FillPositions(xArray, step);
}

// x positions of the 256 video samples in sub-pixel units.
void FillSubpixelPositions() {
    FillPositions(xArray8, std::max(SpacingFor(kSubpixelSpacing, ccdsubpixel), 1));
}

// Adapts the description texts, the pixel window, the video axis and a few
// controls to the line-sensor type.
void ApplySensorType() {
    switch (ccdtype) {
    case 1:
        // Firmware 1001 has no micrometre value, serial mode or delta
        // tolerance.
        if (softversion == 1001) {
            SetVisible(PANEL_NUMUmValue, 0);
            SetDimmed(PANEL_DropRs232Mode, 1);
            SetDimmed(PANEL_NUMDeltaTol, 1);
        } else {
            SetVisible(PANEL_NUMUmValue, 1);
            SetDimmed(PANEL_DropRs232Mode, 0);
            SetDimmed(PANEL_NUMDeltaTol, 0);
        }
        if (ccdresolution == 30) {
            SetSensorText("CCD-SENSOR:1024 pixel; 3.0µm res.;",
                          "optical-lense, 3.0mm working range");
        } else {
            SetSensorText("CCD-SENSOR:1024 pixel; 7.8µm pixel-pitch;", "8.0mm working range");
        }
        SetGainTexts();
        SetPixelWindow(1, 1024);
        YAXISMAX = 1024;
        break;
    case 2:
        switch (ccdresolution) {
        case 750:
            // The 75 mm optics keep the pixel window the operator had.
            SetSensorText("CCD-SENSOR:1024 pixel; 25µm pixel-pitch;",
                          "opt.-lense, 75mm working range");
            SetGainTexts();
            YAXISMAX = 1024;
            break;
        case 350:
            SetSensorText("CCD-SENSOR:1024 pixel; 25µm pixel-pitch;",
                          "opt.-lense, 35mm working range");
            SetGainTexts();
            SetPixelWindow(1, 1024);
            ScaleVideoAxisForFirmware();
            break;
        case 250:
            SetSensorText("CCD-SENSOR:1024 pixel; 25µm pixel-pitch;",
                          "Working-Range: 25,6mm,  Resolution: 12.5µm (subpixel x2)");
            SetGainTexts();
            SetPixelWindow(1, 1024);
            ScaleVideoAxisForFirmware();
            break;
        default:
            YAXISMAX = 1024;
            break;
        }
        break;
    case 3:
        SetSensorText("CCD-SENSOR:512 pixel; 25µm pixel-pitch;", "12,8mm working range");
        SetGainTexts();
        SetPixelWindow(1, 512);
        ScaleVideoAxisForFirmware();
        ScaleRawGraphToPixels();
        break;
    case 4:
        SetSensorText("CCD-SENSOR:512 pixel; 12,5µm pixel-pitch;", "6,4mm working range");
        SetPixelWindow(1, 512);
        ScaleVideoAxisForFirmware();
        ScaleRawGraphToPixels();
        break;
    case 101:
        SetSensorText("CCD-SENSOR:256 pixel; 63.5µm pixel-pitch;",
                      "Working-Range: 16.25mm, Resolution: 31.75µm (subpixel x2)");
        SetConverterTexts();
        SetPixelWindow(1, 256);
        ScaleVideoAxisForFirmware();
        break;
    case 102:
        SetSensorText("CCD-SENSOR:768 pixel; 63.5µm pixel-pitch;",
                      "Working-Range: 48,8mm, Resolution: 31.75µm (subpixel x2)");
        if (softversion == 220) {
            SetConverterTexts();
        }
        SetPixelWindow(1, 768);
        ScaleVideoAxisForFirmware();
        // Firmware 230 uses the delta tolerance as a fixed offset and has
        // no operating-mode switch.
        if (softversion == 230) {
            SetDimmed(PANEL_TOGGBTN_OpMode, 1);
            SetCtrlAttribute(pHandle, PANEL_NUMDeltaTol, ATTR_LABEL_TEXT, "OFFSET-VALUE");
            SetCtrlAttribute(pHandle, PANEL_NUMDeltaTol, ATTR_MAX_VALUE, 1000);
            SetCtrlAttribute(pHandle, PANEL_NUMDeltaTol, ATTR_MIN_VALUE, 950);
        }
        break;
    case 103:
        SetSensorText("CCD-SENSOR:1180 pixel; 63.5µm pixel-pitch;",
                      "Working-Range: 74,9mm,   Resolution: 31.75µm (subpixel x2)");
        SetConverterTexts();
        // This line reports its own last pixel.
        SetPixelWindow(1, ccdpixE);
        ScaleVideoAxisForFirmware();
        break;
    case 104:
        SetSensorText("CCD-SENSOR:1536 pixel; 63.5µm pixel-pitch;",
                      "Working-Range: 97,5mm,   Resolution: 63.5µm");
        SetConverterTexts();
        SetPixelWindow(1, 1536);
        ScaleVideoAxisForFirmware();
        break;
    default:
        SetSensorText("CCD-SENSOR: no information avialable!",
                      "                                     ");
        SetConverterTexts();
        SetPixelWindow(1, 1024);
        YAXISMAX = 1024;
        break;
    }
}

// Positions per pixel of pixE. The rows above give pixE as the sensor's
// pixel count; those of the x2 sub-pixel sensors report positions in half
// pixels. Type 103 gives its last position itself, and board 100 has
// already turned pixE into eighths.
int PositionsPerPixel() {
    if (pcbtype == 100) {
        return 1;
    }
    switch (ccdtype) {
    case 2:
        return ccdresolution == 250 ? 2 : 1;
    case 101:
    case 102:
        return 2;
    default:
        return 1;
    }
}

// What identification adapts on one control.
enum Adapted : unsigned {
    kAdaptDimmed = 1,
    kAdaptVisible = 2,
    kAdaptLabelAndRange = 4,
    kAdaptStateTexts = 8,
};

struct AdaptedControl {
    int control;
    unsigned what;
};

// Every control whose state depends on the sensor model.
constexpr AdaptedControl kAdaptedControls[] = {
    {PANEL_NUMUmValue, kAdaptVisible},
    {PANEL_DropRs232Mode, kAdaptDimmed},
    {PANEL_NUMDeltaTol, kAdaptDimmed | kAdaptLabelAndRange},
    {PANEL_TOGGBTN_OpMode, kAdaptDimmed | kAdaptStateTexts},
    {PANEL_DropAnaMode, kAdaptDimmed},
    {PANEL_ButtonReset, kAdaptDimmed},
    {PANEL_NUMAnaMax, kAdaptDimmed},
    {PANEL_NUMAnaMin, kAdaptDimmed},
};

// The layout file the panels were loaded from; read once per place.
const rt::Layout* LoadedLayout() {
    static std::string readFrom;
    static std::optional<rt::Layout> layout;
    char dir[MAX_PATHNAME_LEN] = {};
    GetProjectDir(dir);
    std::string path = dir;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path += kLayoutFile;
    if (path != readFrom) {
        readFrom = path;
        layout = rt::ReadLayoutFile(path);
    }
    return layout ? &*layout : nullptr;
}

// Line `index` of a text box's text in the layout.
std::string LayoutLine(const rt::LayoutControl& box, std::size_t index) {
    const std::string text = box.initial.asText();
    std::size_t begin = 0;
    for (std::size_t i = 0; i < index; ++i) {
        begin = text.find('\n', begin);
        if (begin == std::string::npos) {
            return {};
        }
        ++begin;
    }
    return text.substr(begin, text.find('\n', begin) - begin);
}

// The layout's control `id` on panel resource `resource`, or null.
const rt::LayoutControl* LayoutControl(const rt::Layout& layout, int resource, int id) {
    const rt::LayoutPanel* lp = layout.panel(resource);
    if (lp == nullptr) {
        return nullptr;
    }
    const auto it = std::find_if(lp->controls.begin(), lp->controls.end(),
                                 [id](const rt::LayoutControl& c) { return c.id == id; });
    return it == lp->controls.end() ? nullptr : &*it;
}

// Returns the controls that the last sensor adapted to the state the layout
// gives them, so that a sensor connected next starts from a clean panel:
// neither a relabelled or narrowed entry nor a dimmed or hidden control of
// another model carries over.
void RestoreLayoutState() {
    const rt::Layout* layout = LoadedLayout();
    if (layout == nullptr) {
        return;
    }
    if (const rt::LayoutControl* box = LayoutControl(*layout, POPUP, POPUP_TEXTBOXSensor)) {
        SetSensorText(LayoutLine(*box, 0).c_str(), LayoutLine(*box, 1).c_str());
    }
    for (const AdaptedControl& a : kAdaptedControls) {
        const rt::LayoutControl* lc = LayoutControl(*layout, PANEL, a.control);
        if (lc == nullptr) {
            continue;
        }
        double lo = lc->minimum;
        double hi = lc->maximum;
        if (!lc->hasRange) {
            rt::TypeLimits(lc->valueType, lo, hi);
        }
        if ((a.what & kAdaptDimmed) != 0) {
            SetCtrlAttribute(pHandle, a.control, ATTR_DIMMED, lc->dimmed ? 1 : 0);
        }
        if ((a.what & kAdaptVisible) != 0) {
            SetCtrlAttribute(pHandle, a.control, ATTR_VISIBLE, lc->visible ? 1 : 0);
        }
        if ((a.what & kAdaptLabelAndRange) != 0) {
            SetCtrlAttribute(pHandle, a.control, ATTR_LABEL_TEXT, lc->label.c_str());
            SetCtrlAttribute(pHandle, a.control, ATTR_MIN_VALUE, lo);
            SetCtrlAttribute(pHandle, a.control, ATTR_MAX_VALUE, hi);
        }
        if ((a.what & kAdaptStateTexts) != 0) {
            SetOpModeTexts(lc->onText.c_str(), lc->offText.c_str());
        }
    }
}

// The largest slope the pop-up takes for this sensor type: the largest word
// the sensor keeps (65535 marks an erased word, which the read-back replaces
// with slope 1.0), rounded down to the six decimals the entry shows.
void LimitSlopeEntry() {
    const double largest = static_cast<double>(kLargestSlopeWord) / SlopeScale();
    SetCtrlAttribute(pPopup, POPUP_NUMSlope, ATTR_MAX_VALUE, std::floor(largest * 1e6) / 1e6);
}

// Boards 100 and 400 differ in their analogue output and serial modes.
void ApplyBoardType() {
    if (pcbtype == 100) {
        SetDimmed(PANEL_DropAnaMode, 0);
        SetDimmed(PANEL_ButtonReset, 0);
        SetDimmed(PANEL_NUMAnaMax, 0);
        SetDimmed(PANEL_NUMAnaMin, 0);
        // Board 100 counts the window in eighth pixels. A last pixel the
        // 16-bit word cannot hold in eighths ends the window at its top.
        pixE = static_cast<u16>(std::min(pixE * 8, 0xFFFF));
    } else if (pcbtype == 400) {
        SetDimmed(PANEL_DropAnaMode, 1);
        SetDimmed(PANEL_ButtonReset, 1);
        SetDimmed(PANEL_DropRs232Mode, 1);
        SetDimmed(PANEL_NUMAnaMax, 1);
        SetDimmed(PANEL_NUMAnaMin, 1);
    }
}

constexpr int kFirmwareBlockBytes = 72;
constexpr double kFirmwareTimeout = 2.0;

} // namespace

u16 WindowLast() {
    return static_cast<u16>(std::min(pixE * PositionsPerPixel(), 0xFFFF));
}

int GetHARDWAREInfo() {
    YAXISMAX = 1024;
    order = CMD_HARDWARE;
    FillTxBuf(order, pp);
    FlushOutQ(com);
    FlushInQ(com);
    rx_flag = 0;
    WriteFrame(com);
    tstart = Timer();
    if (WaitForAnswerFrame(TIMEOUT) == 0) {
        // Not shown here: the connection sequence reports its own text.
        SetStatusText("Timeout-RS-232...");
        return 0;
    }

    // An answer with another command's echo is no hardware description:
    // nothing of it is kept.
    if (ReadWord(2) != CMD_HARDWARE) {
        return 0;
    }
    ccdtype = ReadWord(4);
    ccdmaxpixel = ReadWord(6);
    ccdresolution = ReadWord(8);
    pcbtype = ReadWord(10);
    ccdmaxpixelX8 = ReadWord(12);
    ccdsubpixel = ReadWord(14);
    ccdpixE = ReadWord(18);
    softversion = ReadWord(20);

    SetAxisScalingMode(pHandle, PANEL_GRAPH_VIDEO, VAL_XAXIS, VAL_MANUAL, 1.0,
                       static_cast<double>(ccdsubpixel));
    FillPixelPositions();
    FillSubpixelPositions();
    // Everything below follows from this answer alone: the window starts
    // from the start-up one (a model that names no window of its own gets
    // it), and the controls from the layout's state.
    RestoreLayoutState();
    SetPixelWindow(1, 1024);
    ApplySensorType();
    ApplyBoardType();
    LimitSlopeEntry();
    return 1;
}

int GetVERSIONInfo() {
    // The 72-byte block is no answer frame: keep the notification from
    // taking its first 36 bytes.
    SilenceRxNotification();
    FlushInQ(com);
    FlushOutQ(com);
    order = CMD_FIRMWARE;
    FillTxBuf(order, pp);
    WriteFrame(com);
    ExpectAnswerBytes(kFirmwareBlockBytes);
    SetCtrlVal(pHandle, PANEL_STATUS, "Waiting for firmware info ...");

    // The notification is silenced and the commands that use the line are
    // held (the connection sequence owns it), so nothing else touches the
    // input queue while the block comes in: the panel stays alive.
    int waiting = 0;
    tstart = Timer();
    do {
        ProcessSystemEvents();
        waiting = GetInQLen(com);
        tdiff = Timer() - tstart;
        // A port that is not open (the adapter was pulled) brings nothing.
        if (tdiff > kFirmwareTimeout || waiting < 0) {
            SetStatusText("Timeout - reading firmware info!");
            break;
        }
    } while (waiting < kFirmwareBlockBytes);
    // A block complete sooner than the sensor can send it carries bytes of
    // something else in front: no text is taken from it.
    const bool inTime = Timer() >= AnswerNotBefore();

    szVersion[0] = '\0';
    nBytesR = ReadWaitingBytes(waiting);
    if (!inTime && nBytesR > 0) {
        CountRejectedFrame(FrameVerdict::OutOfStep, nBytesR);
        nBytesR = 0;
    }
    if (nBytesR == kFirmwareBlockBytes) {
        if (pcbtype == 0) {
            // Board 0 sends one character per 16-bit word; the character is
            // the word's low byte.
            constexpr int kChars = kFirmwareBlockBytes / 2;
            for (int k = 0; k < kChars; ++k) {
                szVersion[k] = static_cast<char>(szReadBuf[2 * k + 1]);
            }
            szVersion[kChars] = '\0';
            SetStatusText(szVersion);
        } else {
            // Other boards send the text itself; it need not be terminated
            // within the block.
            char text[kFirmwareBlockBytes + 1] = {};
            std::memcpy(text, szReadBuf, kFirmwareBlockBytes);
            SetStatusText(text);
        }
    }
    // Kept for the sidecar file of a recording.
    NoteFirmwareText(nBytesR == kFirmwareBlockBytes ? szStatus : "");

    InstallRxNotification();
    FlushInQ(com);
    FlushOutQ(com);
    rx_flag = 0;
    ShowStatus();
    return std::max(waiting, 0);
}

// ---- Video blocks ------------------------------------------------------

namespace {

struct BlockRequest {
    int command;
    int first;    // index of the block's first sample in adcbuf
    int lastFlag; // data word 1 of a 64-sample request
    int samples;  // N
    const char* waitingText;
    const char* timeoutText;
    const char* receivedText;
};

bool blockAccepted = false;

// Requests one raw block of video samples and decodes it into adcbuf. The
// caller has silenced the receive notification. A block is taken only when
// it is what the sensor sends: exactly as long as asked for, and not
// complete before the request could have been answered (else the bytes of
// an earlier block or answer are in front of it). Anything else leaves
// adcbuf as it was and is counted as a disturbance.
int ReadVideoBlock(const BlockRequest& request) {
    const int blockBytes = 2 * request.samples;
    order = request.command;
    FlushOutQ(com);
    FlushInQ(com);

    // The request carries its own data words; pp keeps the last answer.
    u16 words[PNUM] = {};
    if (request.command == CMD_DATA64) {
        words[0] = static_cast<u16>(request.first);
        words[1] = static_cast<u16>(request.lastFlag);
    }
    FillTxBuf(order, words);
    WriteFrame(com);
    ExpectAnswerBytes(blockBytes);
    SetCtrlVal(pHandle, PANEL_STATUS, request.waitingText);

    int waiting = 0;
    tstart = Timer();
    do {
        ProcessSystemEvents();
        waiting = GetInQLen(com);
        tdiff = Timer() - tstart;
        // On a port that is not open (the adapter was pulled mid-block)
        // nothing more can come: give up at once rather than after the
        // time-out, so that the loop around notices the dead line sooner.
        if (tdiff > TIMEOUT || waiting < 0) {
            SetStatusText(request.timeoutText);
            break;
        }
    } while (waiting < blockBytes);
    const double complete = Timer();

    nBytesR = ReadWaitingBytes(waiting);
    blockAccepted = nBytesR == blockBytes && complete >= AnswerNotBefore();
    if (blockAccepted) {
        SetStatusText(request.receivedText);
        for (int i = 0; i < request.samples; ++i) {
            adcbuf[request.first + i] = ReadWord(2 * i);
        }
    } else if (nBytesR >= blockBytes) {
        CountRejectedFrame(FrameVerdict::OutOfStep, nBytesR);
        SetStatusText(DisturbanceText().c_str());
    } else {
        // Too few: the time-out text says so.
        CountDiscardedBytes(nBytesR);
    }
    ShowStatus();
    return 1;
}

} // namespace

int ReadData64(int start, int lastBlock) {
    // Four blocks make one line; anything else would write past adcbuf.
    const int first = std::clamp(start, 0, 256 - 64);
    return ReadVideoBlock({CMD_DATA64, first, lastBlock, 64, "Waiting for Data[64] ...",
                           "Timeout-RS-232 while reading 64 data-words!",
                           "Data[64] block received!"});
}

bool VideoBlockAccepted() {
    return blockAccepted;
}

int ReadData256() {
    return ReadVideoBlock({CMD_DATA256_OR_RESET, 0, 0, 256, "Waiting for Data[256] ...",
                           "Timeout-RS-232 while reading 256 data-words!",
                           "Data[256] block received!"});
}

} // namespace korven
