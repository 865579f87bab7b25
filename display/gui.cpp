// Panel exchange and display: moving the parameter set between globals and
// panels with range repair, the read-back and run sequences, and the
// drawing of video curve, edge graph and strip chart.
#include "display/gui.h"

#include "analysis/panel.h"
#include "app/line_owner.h"
#include "app/setup_record.h"
#include "calibration/popup.h"
#include "link/com232.h"
#include "link/line_guard.h"

#include <cmath>
#include <cstdint>

namespace korven {

// Copies the words of a measurement answer from the packet into the
// display globals.
void TakeRunAnswer() {
    Ledge = pp[0];
    Redge = pp[1];
    Mvalue = pp[2];
    // One 32-bit value sent low half first; built unsigned so that a high
    // half of 0x8000 or more gives the negative value, never an overflow.
    umValue = static_cast<int>(static_cast<std::uint32_t>(pp[3]) |
                               (static_cast<std::uint32_t>(pp[4]) << 16));
    tVal = pp[5];
    tTol = pp[6];
    edcnt = pp[7];
    mvstart = pp[8];
    mvend = pp[9];
    anaMax = pp[11];
    anaMin = pp[12];
    RecordRunAnswer();
}

namespace {

// Colours of the drawings (0xRRGGBB).
constexpr int kRed = 0xFF0000;
constexpr int kDarkGreen = 0x008000;
constexpr int kGreen = 0x00FF00;
constexpr int kBlack = 0x000000;
constexpr int kGrey = 0xA0A0A0;

// Y of the three cursors of the edge graph, and the spans of its bands.
constexpr double kCursorY = 0.75;
constexpr double kRedBandLow = 0.25;
constexpr double kRedBandHigh = 1.0;
constexpr double kGreenBandLow = 0.0;
constexpr double kGreenBandHigh = 0.35;

constexpr int kVideoPoints = 256;
constexpr int kHistoryValues = 500; // 100 answers of 5 values each
constexpr int kTraces = 5;

// Turns a panel value into a parameter word: truncation toward zero, then
// the low 16 bits, so that a negative value wraps (-1 gives 65535) as the
// sensor's word arithmetic expects. A value that is not a finite number, or
// too large to truncate to a 64-bit integer, leaves the word as it was
// instead of storing an arbitrary pattern.
void StoreWord(double value, u16& word) {
    constexpr double kLimit = 9223372036854775808.0; // 2^63
    if (!std::isfinite(value) || value >= kLimit || value < -kLimit) {
        return;
    }
    const auto whole = static_cast<std::int64_t>(std::trunc(value));
    word = static_cast<u16>(static_cast<std::uint64_t>(whole) & 0xFFFFu);
}

void DrawBand(double x1, double y1, double x2, double y2, int colour) {
    PlotRectangle(pHandle, PANEL_GRAPH_EDGES, x1, y1, x2, y2, colour, colour);
}

} // namespace

// ---- Panel values exchange ----------------------------------------------

int SlopeScale() {
    return ccdtype == 104 ? SLOPEMULTI_512 : SLOPEMULTI;
}

void GetPanelValues() {
    GetCtrlVal(pHandle, PANEL_NUMPower, &power);
    GetCtrlVal(pHandle, PANEL_DropRs232Mode, &rs232Mode);
    GetCtrlVal(pHandle, PANEL_NUMVideoThreshold, &vThd);
    GetCtrlVal(pHandle, PANEL_DropAnaMode, &anaMode);
    GetCtrlVal(pHandle, PANEL_DropPolarity, &polarity);
    GetCtrlVal(pHandle, PANEL_DropEvalMode, &eMode);
    GetCtrlVal(pHandle, PANEL_NEDITEdgeLeft, &eBeg);
    GetCtrlVal(pHandle, PANEL_NEDITEdgeRight, &eEnd);
    GetCtrlVal(pHandle, PANEL_NUMTeachValue, &tVal);
    GetCtrlVal(pHandle, PANEL_NEDITTolerance, &tTol);
    GetCtrlVal(pHandle, PANEL_DropEHardware, &eHardware);
    GetCtrlVal(pHandle, PANEL_NUMAverage, &average);
    GetCtrlVal(pHandle, PANEL_NUMDeltaTol, &deltaTol);
    GetCtrlVal(pHandle, PANEL_TOGGBTN_OpMode, &opMode);

    float s = 0.0f;
    float o = 0.0f;
    GetCtrlVal(pPopup, POPUP_NUMSlope, &s);
    GetCtrlVal(pPopup, POPUP_NUMOffset, &o);

    StoreWord(static_cast<double>(s) * SlopeScale(), slope);
    StoreWord(YOFFSET + static_cast<double>(o), intersect);
}

void SetPanelValues() {
    // Values from the sensor or a parameter file are brought back into the
    // ranges the panel and the sensor accept.
    if (power > 1000) {
        power = 500;
    }
    if (rs232Mode > 1) {
        rs232Mode = 0;
    }
    if (vThd > 950) {
        vThd = 950;
    }
    if (vThd < 50) {
        vThd = 50;
    }
    if (anaMode > 7) {
        anaMode = 0;
    }
    if (polarity > 1) {
        polarity = 1;
    }
    if (eMode > 3) {
        eMode = 4;
    }
    if (tTol > ccdmaxpixelX8) {
        tTol = ccdmaxpixelX8;
    }
    if (tTol < 1) {
        tTol = 1;
    }
    // The line length bounds the window and the delta tolerance only once
    // a sensor has told it: a parameter file edited without a sensor keeps
    // its values.
    const bool lineKnown = ccdsubpixel != 0;
    if (lineKnown && deltaTol > ccdsubpixel) {
        deltaTol = ccdsubpixel;
    }
    if (deltaTol < 1) {
        deltaTol = 1;
    }
    if (lineKnown && eBeg > ccdsubpixel) {
        eBeg = 1;
    }
    if (lineKnown && eEnd > ccdsubpixel) {
        eEnd = ccdsubpixel;
    }
    if (eEnd == 0) {
        eEnd = 1;
    }
    if (eHardware > 3) {
        eHardware = 3;
    }
    if (average > 1024) {
        average = 1024;
    }
    if (slope > kLargestSlopeWord) { // an erased word
        slope = static_cast<u16>(SLOPEMULTI);
    }
    if (intersect > kLargestInterceptWord) {
        intersect = static_cast<u16>(YOFFSET);
    }

    const float slopeShown = static_cast<float>(static_cast<double>(slope) / SlopeScale());
    const float offsetShown = static_cast<float>(static_cast<int>(intersect) - YOFFSET);

    SetCtrlVal(pHandle, PANEL_NUMPower, power);
    SetCtrlVal(pHandle, PANEL_DropRs232Mode, rs232Mode);
    SetCtrlVal(pHandle, PANEL_NUMVideoThreshold, vThd);
    SetCtrlVal(pHandle, PANEL_DropAnaMode, anaMode);
    SetCtrlVal(pHandle, PANEL_DropPolarity, polarity);
    SetCtrlVal(pHandle, PANEL_DropEvalMode, eMode);
    SetCtrlVal(pHandle, PANEL_NEDITEdgeLeft, eBeg);
    SetCtrlVal(pHandle, PANEL_NEDITEdgeRight, eEnd);
    SetCtrlVal(pHandle, PANEL_NUMTolDisplay, tTol);
    SetCtrlVal(pHandle, PANEL_NUMTeachValue, tVal);
    SetCtrlVal(pHandle, PANEL_NEDITTolerance, tTol);
    SetCtrlVal(pHandle, PANEL_DropEHardware, eHardware);
    SetCtrlVal(pHandle, PANEL_NUMAverage, average);
    SetCtrlVal(pHandle, PANEL_NUMDeltaTol, deltaTol);
    SetCtrlVal(pPopup, POPUP_NUMSlope, static_cast<double>(slopeShown));
    SetCtrlVal(pPopup, POPUP_NUMOffset, static_cast<double>(offsetShown));
    SetCtrlVal(pHandle, PANEL_TOGGBTN_OpMode, opMode);

    for (u16& level : thdArray) {
        level = vThd;
    }

    SetAxisScalingMode(pHandle, PANEL_GRAPH_EDGES, VAL_XAXIS, VAL_MANUAL, 1.0, ccdpixE);
    PlotVIDEOCurve(adcbuf, xArray8);

    SetGraphCursor(pHandle, PANEL_GRAPH_EDGES, 2, eBeg, kCursorY);
    SetGraphCursor(pHandle, PANEL_GRAPH_EDGES, 3, eEnd, kCursorY);

    // Grey line background, then the set-point band (its left end may lie
    // left of the axis; it is drawn as computed).
    PlotRectangle(pHandle, PANEL_GRAPH_EDGES, 0.0, 0.0, ccdmaxpixelX8, 1.0, kGrey, kGrey);
    const int bandLeft = static_cast<int>(tVal) - static_cast<int>(tTol);
    const int bandRight = static_cast<int>(tVal) + static_cast<int>(tTol);
    PlotRectangle(pHandle, PANEL_GRAPH_EDGES, bandLeft, 0.0, bandRight, 0.25, kGreen, kGreen);
}

// ---- Read-back and run sequences -----------------------------------------

namespace {

// Writes a read-back request (RAM or EEPROM) carrying the parameter
// globals, on a line emptied of what came before: bytes waiting now are no
// answer to it. Returns the disturbance count from just before the write.
LineDisturbance WriteParameterRequest(int command) {
    CopyVarsToPP();
    DiscardInput();
    FlushOutQ(com);
    FillTxBuf(command, pp);
    rx_flag = 0;
    const LineDisturbance mark = Disturbance();
    WriteFrame(com);
    return mark;
}

} // namespace

void PushGET(int source) {
    if (source != DATFILE) {
        if (source == RAM) {
            order = CMD_READ_RAM;
        } else if (source == EEPROM) {
            order = CMD_READ_EEPROM;
        }
        const LineDisturbance mark = WriteParameterRequest(order);
        if (nBytesW == kFrameBytes) {
            SetCtrlVal(pHandle, PANEL_STATUS, "Waiting for parameter-frame ...");
        }

        // Only a frame the receive notification took is the answer; frames it
        // turned away leave the globals as they are.
        tstart = Timer();
        for (;;) {
            ProcessSystemEvents();
            if (rx_flag == 1) {
                GetRxBuf(PNUM);
                // Kept as the sensor sent it, before any range repair.
                record::NoteParameterSet(
                    source == EEPROM ? record::Memory::Eeprom : record::Memory::Ram, pp, "read");
                CopyPPtoVars();
                SetStatusText("Parameter-frame received! - Line Ok!");
                NotifyProgramEvent(
                    ProgramEvent(ProgramEventKind::ParametersRead, source, true, pp));
                break;
            }
            tdiff = Timer() - tstart;
            if (!(TIMEOUT >= tdiff)) {
                // When frames were turned away, that is why none came.
                SetStatusText(DisturbedSince(mark) ? DisturbanceText().c_str()
                                                   : "Timeout-RS-232...");
                break;
            }
        }
    }

    // Also after a time-out: the panels then show the unchanged globals.
    SetPanelValues();
    ShowStatus();
}

// Reads the sensor's RAM or EEPROM set with the read-back exchange, without
// touching the panel or the parameter globals; pp holds the answer after it,
// as after any exchange.
bool ReadParameterSet(int command, analysis::ParameterWords& out) {
    order = command;
    WriteParameterRequest(command);
    tstart = Timer();
    const bool ok = nBytesW == kFrameBytes && WaitForAnswerFrame(TIMEOUT) == 1;
    if (ok) {
        GetRxBuf(PNUM);
        std::copy(std::begin(pp), std::end(pp), out.begin());
    }
    rx_flag = 0;
    return ok;
}

void PushRUN() {
    // One loop at a time: a loop still finishing after a stop is followed by
    // this one once it has ended.
    if (HoldLoopStart([] { PushRUN(); })) {
        return;
    }
    SetCtrlAttribute(pHandle, PANEL_GRAPH_VIDEO, ATTR_VISIBLE, 0);
    SetCtrlAttribute(pHandle, PANEL_GRAPH_RAW, ATTR_VISIBLE, 1);
    DimLoopControls();
    SelectRamTarget();

    CopyVarsToPP();
    FlushInQ(com);
    FlushOutQ(com);
    rx_flag = 0;

    order = CMD_RUN;
    FillTxBuf(CMD_RUN, pp);
    WriteFrame(com);
    if (nBytesW == kFrameBytes) {
        SetCtrlVal(pHandle, PANEL_STATUS, "Line Ok!");
    }

    tstart = Timer();
    stop_flag = 0;
    LoopStarted();
    // An answer taken in before this run (a GET, say) is not a run answer.
    graphrefresh = 0;
    LineDisturbance mark = Disturbance();

    // The next request carries the set-point and tolerance the sensor just
    // reported; the time-out runs from this request.
    const auto request = [&mark] {
        DiscardInput();
        FlushOutQ(com);
        CopyVarsToPP();
        FillTxBuf(CMD_RUN, pp);
        rx_flag = 0;
        tstart = Timer();
        mark = Disturbance();
        WriteFrame(com);
    };

    do {
        if (graphrefresh == 1) {
            TakeRunAnswer();
            PlotVIDEOBarGraph();
            PlotRAWGraphX8();
            graphrefresh = 0;
        }
        if (rx_flag == 1) {
            // The answer is in and nothing is on the line: the commands given
            // meanwhile run here, with answers of their own that are no
            // measurement. One of them may have ended the sequence.
            if (RunHeldCommands()) {
                graphrefresh = 0;
                if (stop_flag != 0) {
                    break;
                }
            }
            // Bytes already coming in behind the answer (noise, a sensor that
            // sent too much) would sit in front of the next answer: let the
            // line fall quiet first. On a clean line this costs nothing.
            if (GetInQLen(com) > 0) {
                WaitForQuietLine(kQuietTime, 0.0, true, true);
                if (stop_flag != 0) {
                    break;
                }
            }
            request();
        } else if (DisturbedSince(mark)) {
            // A frame was turned away: the rest of it, and the answer it may
            // have cut, must pass before the next request, or that one's
            // answer would be shifted too. The line is alive while bytes come,
            // so the next request restarts the time-out.
            SetCtrlVal(pHandle, PANEL_STATUS, DisturbanceText().c_str());
            WaitForQuietLine(kQuietTime, AnswerDue() + kQuietTime, true, true);
            if (stop_flag != 0 || (RunHeldCommands() && stop_flag != 0)) {
                break;
            }
            graphrefresh = 0;
            request();
        }
        tdiff = Timer() - tstart;
        if (!(TIMEOUT >= tdiff)) {
            SetCtrlVal(pHandle, PANEL_STATUS, "Timeout RS232-Line!");
            stop_flag = 1;
            break;
        }
        ProcessSystemEvents();
    } while (stop_flag == 0);

    rx_flag = 0;
    FlushInQ(com);
    FlushOutQ(com);
    graphrefresh = 0;

    UndimLoopControls();
    AnalysisLoopEnded();
    // Commands held to the end, a loop start among them, run now.
    LoopEnded();
}

void SelectRamTarget() {
    SetCtrlVal(pHandle, PANEL_RBTRam, 1);
    target = RAM;
    SetCtrlVal(pHandle, PANEL_RBTEeprom, 0);
    SetCtrlVal(pHandle, PANEL_RBTFile, 0);
}

void DimLoopControls() {
    SetCtrlAttribute(pHandle, PANEL_LOOPLOCK_B, ATTR_DIMMED, 1);
    SetCtrlAttribute(pHandle, PANEL_LOOPLOCK_A, ATTR_DIMMED, 1);
}

void UndimLoopControls() {
    SetCtrlAttribute(pHandle, PANEL_LOOPLOCK_B, ATTR_DIMMED, 0);
    SetCtrlAttribute(pHandle, PANEL_LOOPLOCK_A, ATTR_DIMMED, 0);
    SetCtrlAttribute(pHandle, PANEL_LOOPUNLOCK, ATTR_DIMMED, 0);
}

// ---- Video and edge display ------------------------------------------------

int PlotVIDEOCurve(const u16* y, const double* x) {
    SetAxisScalingMode(pHandle, PANEL_GRAPH_VIDEO, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0, YAXISMAX);
    DeleteGraphPlot(pHandle, PANEL_GRAPH_VIDEO, ALL_PLOTS, VAL_DELAYED_DRAW);
    PlotXY(pHandle, PANEL_GRAPH_VIDEO, x, y, kVideoPoints, VAL_DOUBLE, VAL_UNSIGNED_SHORT_INTEGER,
           VAL_FAT_LINE, VAL_NO_POINT, VAL_SOLID, 1, kRed);
    return PlotXY(pHandle, PANEL_GRAPH_VIDEO, x, thdArray, kVideoPoints, VAL_DOUBLE,
                  VAL_UNSIGNED_SHORT_INTEGER, VAL_FAT_LINE, VAL_NO_POINT, VAL_SOLID, 1, kDarkGreen);
}

void PlotVIDEOBarGraph() {
    // Measured position by evaluation mode: one edge, or the middle of both
    // (1 when either edge is missing).
    u16 p = 0;
    if (eMode == 0) {
        p = Ledge;
    } else if (eMode == 1) {
        p = Redge;
    } else if (Ledge == 0 || Redge == 0) {
        p = 1;
    } else {
        p = static_cast<u16>((Ledge + Redge) / 2);
    }

    SetCtrlVal(pHandle, PANEL_NUMLedge, Ledge);
    SetCtrlVal(pHandle, PANEL_NUMRedge, Redge);
    SetCtrlVal(pHandle, PANEL_NUMMValueB, Mvalue);
    SetCtrlVal(pHandle, PANEL_NUMMValue, Mvalue);
    SetCtrlVal(pHandle, PANEL_NUMUmValue, umValue);
    SetCtrlVal(pHandle, PANEL_NUMTolDisplay, tTol);
    SetCtrlVal(pHandle, PANEL_NUMAnaMax, anaMax);
    if (anaMin == 1023) {
        anaMin = 1;
    }
    SetCtrlVal(pHandle, PANEL_NUMAnaMin, anaMin);

    // Live raw value for the calibration step being taken.
    int step = 0;
    GetCtrlVal(pPopup, POPUP_CheckStep1, &step);
    if (step == 1) {
        SetCtrlVal(pPopup, POPUP_NUMPixel1, Mvalue);
    }
    step = 0;
    GetCtrlVal(pPopup, POPUP_CheckStep2, &step);
    if (step == 1) {
        SetCtrlVal(pPopup, POPUP_NUMPixel2, Mvalue);
    }

    SetAxisScalingMode(pHandle, PANEL_GRAPH_EDGES, VAL_XAXIS, VAL_MANUAL, 1.0, ccdsubpixel);
    SetGraphCursor(pHandle, PANEL_GRAPH_EDGES, 2, eBeg, kCursorY);
    SetGraphCursor(pHandle, PANEL_GRAPH_EDGES, 3, eEnd, kCursorY);
    DeleteGraphPlot(pHandle, PANEL_GRAPH_EDGES, ALL_PLOTS, VAL_NO_DRAW);

    // The line's ends in the units of the edges.
    const u16 last = WindowLast();
    if (p < pixB) {
        p = pixB;
    }
    if (p > last) {
        p = last;
    }
    if (p < 1) {
        p = 1;
    }
    if (p > ccdsubpixel) {
        p = ccdsubpixel;
    }
    SetGraphCursor(pHandle, PANEL_GRAPH_EDGES, 1, p, kCursorY);

    // Red: the covered parts of the line.
    if (edcnt == 1) {
        if (mvstart < mvend) {
            DrawBand(Ledge, kRedBandLow, last, kRedBandHigh, kRed);
        } else {
            DrawBand(1.0, kRedBandLow, Ledge, kRedBandHigh, kRed);
        }
    } else {
        DrawBand(1.0, kRedBandLow, Ledge, kRedBandHigh, kRed);
        DrawBand(Redge, kRedBandLow, last, kRedBandHigh, kRed);
    }

    // Green: where the edges should be. Signed, since a band may start left
    // of the line.
    const int pos = p;
    const int half = tVal / 2;
    const int tol = tTol / 2;
    const int lastSub = static_cast<int>(ccdsubpixel) - 1;
    if (eMode == 2) {
        if (edcnt >= 1) {
            int left = pos - half - tol;
            int right = pos - half + tol;
            if (left < 0) {
                left = 1;
            }
            if (right > lastSub) {
                right = ccdsubpixel;
            }
            DrawBand(left, kGreenBandLow, right, kGreenBandHigh, kGreen);
            DrawBand(pos + half - tol, kGreenBandLow, pos + half + tol, kGreenBandHigh, kGreen);
        }
    } else {
        int left = static_cast<int>(tVal) - static_cast<int>(tTol);
        int right = static_cast<int>(tVal) + static_cast<int>(tTol);
        if (left < 0) {
            left = 1;
        }
        if (right > lastSub) {
            right = ccdsubpixel;
        }
        DrawBand(left, kGreenBandLow, right, kGreenBandHigh, kGreen);
    }
}

double StripChartTop() {
    // The chart's values are positions on the line in the sensor's units;
    // before a sensor has told its line, the eighth-pixel count of the
    // start-up line bounds them.
    return ccdsubpixel != 0 ? ccdsubpixel : ccdmaxpixelX8;
}

void PlotRAWGraphX8() {
    const int maxX8 = ccdmaxpixelX8;

    // Fifth trace: the quantity the analogue output follows.
    int analogue = 0;
    switch (anaMode) {
    case 0:
    case 1:
    case 4:
    case 7:
        analogue = Mvalue;
        break;
    case 2:
    case 5:
        analogue = anaMax;
        break;
    case 3:
    case 6:
        analogue = (anaMin == maxX8 - 1) ? 1 : anaMin;
        break;
    default:
        analogue = 0;
        break;
    }

    Shift(arrayNORM, kHistoryValues, -kTraces, arrayNORM);

    int upper = tVal + tTol;
    int lower = tVal - tTol;

    int low = 0;
    int high = 0;
    if (tTol < 20) {
        low = tVal - 40;
        high = tVal + 40;
        if (Mvalue > high) {
            high = Mvalue + 50;
        }
        if (Mvalue < low) {
            low = Mvalue - 50;
        }
    } else {
        low = tVal - 2 * tTol;
        high = tVal + 2 * tTol;
        if (Mvalue > high) {
            high = Mvalue + 100;
        }
        if (Mvalue < low) {
            low = Mvalue - 100;
        }
    }

    if (upper > maxX8 - 1) {
        upper = maxX8 - 1;
    }
    if (lower < 1) {
        lower = 1;
    }
    if (high > maxX8 - 1) {
        high = maxX8 - 1;
    }
    if (low < 1) {
        low = 1;
    }

    arrayNORM[495] = upper;
    arrayNORM[496] = lower;
    arrayNORM[497] = tVal;
    arrayNORM[498] = Mvalue;
    arrayNORM[499] = analogue;

    // One screen holds exactly the answers of the history, so that no
    // older point is left at its left end.
    SetCtrlAttribute(pHandle, PANEL_GRAPH_RAW, ATTR_POINTS_PER_SCREEN, kHistoryValues / kTraces);
    SetCtrlAttribute(pHandle, PANEL_GRAPH_RAW, ATTR_SCROLL_MODE, 1);

    int zoom = 0;
    GetCtrlVal(pHandle, PANEL_TOGGBTN_Zoom, &zoom);
    if (zoom == 0) {
        SetAxisScalingMode(pHandle, PANEL_GRAPH_RAW, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0,
                           StripChartTop());
    } else {
        SetAxisScalingMode(pHandle, PANEL_GRAPH_RAW, VAL_LEFT_YAXIS, VAL_MANUAL, low, high);
    }

    SetTraceAttribute(pHandle, PANEL_GRAPH_RAW, 1, ATTR_TRACE_COLOR, kDarkGreen);
    SetTraceAttribute(pHandle, PANEL_GRAPH_RAW, 2, ATTR_TRACE_COLOR, kDarkGreen);
    SetTraceAttribute(pHandle, PANEL_GRAPH_RAW, 3, ATTR_TRACE_COLOR, kBlack);
    SetTraceAttribute(pHandle, PANEL_GRAPH_RAW, 4, ATTR_TRACE_COLOR, kRed);
    SetTraceAttribute(pHandle, PANEL_GRAPH_RAW, 5, ATTR_TRACE_COLOR, kRed);
    SetCtrlAttribute(pHandle, PANEL_GRAPH_RAW, ATTR_NUM_TRACES, kTraces);

    PlotStripChart(pHandle, PANEL_GRAPH_RAW, arrayNORM, kHistoryValues, 0, 0, VAL_DOUBLE);
    record::NoteStripChartAnswer();
}

} // namespace korven
