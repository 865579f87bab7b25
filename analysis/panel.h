// The recording, statistics and parameter-compare controls: hooks the
// measuring loops call, and the callbacks of their controls.
#pragma once

#include "analysis/compare.h"
#include "analysis/recording.h"
#include "analysis/statistics.h"
#include "app/KORVENDarir23.h"

#include <functional>
#include <span>

namespace korven {

// Takes the run answer just stored in the display globals: records it when
// recording is on and adds it to the statistics.
void RecordRunAnswer();
// A loop ended (STOP, time-out, port change): writes the rows kept and
// shows the statistics as they stand.
void AnalysisLoopEnded();
// The program closes: writes the rows kept and ends the recording.
void AnalysisShutdown();
// The firmware text the sensor reported at identification ("" when none).
void NoteFirmwareText(const char* text);
// The firmware text last noted.
const std::string& NotedFirmwareText();
// Ends a recording without writing and clears statistics and compare view
// (a fresh start for tests).
void ResetAnalysis();

// Others that take every run answer the panel records (the command line, a
// publisher): called in order, right after the answer was counted. Returns
// a handle for RemoveObserver.
int AddAnswerObserver(std::function<void(const analysis::Answer&)> observer);
// The same for each complete video line that the live video loop shows
// (the 256 values of adcbuf).
int AddVideoObserver(std::function<void(std::span<const u16>)> observer);
void RemoveObserver(int handle);

// What else the program did that others may want to know: a sensor
// identified itself (the connection sequence ended), a parameter set was
// read from or written to the sensor (its words as the sensor holds them),
// a calibration was sent, a loop started or ended.
enum class ProgramEventKind {
    Identified,
    ParametersRead,
    ParametersWritten,
    CalibrationSent,
    LoopStarted,
    LoopEnded
};
struct ProgramEvent {
    explicit ProgramEvent(ProgramEventKind k, int mem = 0, bool ok = true,
                          std::span<const u16> w = {})
        : kind(k), memory(mem), confirmed(ok), words(w) {}
    ProgramEventKind kind;
    int memory;                 // RAM or EEPROM, for the parameter events
    bool confirmed;             // a write read back word for word
    std::span<const u16> words; // the parameter events' 16 words
};
int AddEventObserver(std::function<void(const ProgramEvent&)> observer);
void NotifyProgramEvent(const ProgramEvent& event);
// The live video loop has a complete line in adcbuf.
void VideoLineTaken();

const analysis::Recorder& CurrentRecorder();
const analysis::Statistics& CurrentStatistics();
// The columns of the compare view: panel, RAM, EEPROM, file.
const std::vector<analysis::ParameterColumn>& CompareColumns();

// The file name proposed for a recording started at wall time `epochMs`.
std::string DefaultRecordingName(std::int64_t epochMs);

int CC_TOGGBTN_Rec(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2);
int CC_BTNStatReset(int panel, int control, int event, void* callbackData, int eventData1,
                    int eventData2);
int CC_BTNCompare(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);
int CC_COMPARE(int panel, int event, void* callbackData, int eventData1, int eventData2);
int CC_BTNReadSensor(int panel, int control, int event, void* callbackData, int eventData1,
                     int eventData2);
int CC_BTNReadFile(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2);

} // namespace korven
