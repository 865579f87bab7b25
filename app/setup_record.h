// The setup and calibration record: what was set on the sensor and how it
// was calibrated, kept while the program runs, for a dated report (PDF and
// JSON). The program's hooks note what happens on the line; a snapshot of
// the record holds plain data only, so that a report writer needs nothing
// of the program's globals or panels.
#pragma once

#include "analysis/compare.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korven::record {

using analysis::ParameterWords;

// Where a parameter set was read from or written to.
enum class Memory { Ram, Eeprom, File };
const char* MemoryName(Memory m); // "RAM", "EEPROM", "file"

struct ParameterSet {
    bool valid = false;
    Memory memory = Memory::Ram;
    // "read", "written and read back", "written, read back differs",
    // "written, not read back"
    std::string how;
    std::string time; // local time text
    ParameterWords words{};
};

struct Identity {
    bool known = false; // a sensor described itself since the program started
    int port = 0;
    int board = 0;        // pcbtype
    int type = 0;         // ccdtype
    int resolution = 0;   // ccdresolution
    int pixels = 0;       // ccdmaxpixel
    int subpixels = 0;    // ccdsubpixel
    int firmwareNo = 0;   // softversion
    std::string firmware; // the firmware text ("" when none came)
    std::vector<std::string> description;
};

struct CalibrationPoint {
    double referenceUm = 0.0; // size entered
    double raw = 0.0;         // measured value accepted, sub-pixels
};

// A reading of a calibration object after the calibration.
struct ObjectReading {
    // True: a run answer the operator took with the object in place. False:
    // computed from the accepted raw value and the words the sensor holds,
    // the way the sensor turns a raw value into micrometres.
    bool measured = false;
    double raw = 0.0;
    double um = 0.0;
    std::string time; // when measured
};

struct Calibration {
    bool made = false; // a calibration was loaded into the sensor since start
    std::string time;
    CalibrationPoint points[2];
    double fitSlope = 0.0;  // µm per raw unit
    double fitOffset = 0.0; // µm
    int slopeScale = 1024;  // slope word of 1.0
    int slopeWord = 0;      // sent
    int interceptWord = 0;  // sent
    int slopeHeld = 0;      // the sensor's answer
    int interceptHeld = 0;
    ObjectReading after[2];
};

// The statistics of the last run, as the statistics area shows them.
struct RunStatistics {
    std::size_t answers = 0; // 0: no run since the statistics started
    std::size_t noEdge = 0;
    std::size_t withValue = 0;
    double mean = 0.0, stddev = 0.0, min = 0.0, max = 0.0; // sub-pixels
    double umMean = 0.0, umStddev = 0.0, umMin = 0.0, umMax = 0.0;
    double cp = 0.0, cpk = 0.0; // NaN when undefined
    std::size_t outOfTolerance = 0;
    double rate = 0.0; // answers per second
    int setpoint = 0, tolerance = 0;
    std::vector<std::string> lines; // the statistics area's text
};

// The strip chart's last answers, oldest first, one value per trace.
struct StripChart {
    static constexpr int kTraces = 5;
    std::array<std::string, kTraces> traces;
    std::vector<std::array<double, kTraces>> answers;
};

// The last complete video line: position and signal per sample.
struct VideoLine {
    bool valid = false;
    std::string time;
    double threshold = 0.0;
    std::vector<double> x;
    std::vector<double> signal;
};

struct SetupRecord {
    Identity identity;
    ParameterSet ramFound;    // first RAM set read from this sensor
    ParameterSet eepromFound; // first EEPROM set read from this sensor
    ParameterSet asLeft;      // the last set read or written
    Calibration calibration;
    RunStatistics statistics;
    StripChart chart;
    VideoLine video;
};

// What a report says beside the record.
struct ReportHeader {
    std::string number;  // unique report number, on every page
    std::string created; // local time text
    std::string program; // name and version
    std::string operatorName;
    std::string reference; // the reference objects used
    double toleranceUm = 0.0;
};

// The found set that the set left is compared with: EEPROM's for a set of
// the EEPROM, RAM's for RAM and for a file.
const ParameterSet& FoundFor(const SetupRecord& r, Memory m);
// Indices of the words of `left` that differ from `found` (none when
// either is missing).
std::vector<int> ChangedWords(const ParameterSet& found, const ParameterSet& left);

// The verdict on the calibration: an object passes when its reading
// deviates from its reference size by no more than the tolerance; the
// calibration passes when both do. No guard band.
struct Verdict {
    bool judged = false; // false: no calibration, or no valid tolerance
    double deviation[2] = {0.0, 0.0};
    bool objectPass[2] = {false, false};
    bool pass = false;
};
Verdict Judge(const Calibration& c, double toleranceUm);
extern const char* const kDecisionRule;

// The JSON twin of the report (schema "korven-darir-report/1").
std::string ReportJson(const SetupRecord& r, const ReportHeader& h);
// "KRVN-YYYYMMDD-HHMMSS-XXXXXX": the time and six hex digits of a hash of
// the report's content.
std::string ReportNumber(const std::string& created, const std::string& content);

// ---- What the program keeps --------------------------------------------

// A sensor described itself on `port`. Another sensor (board, type,
// resolution or firmware number differ) starts the record afresh.
void NoteSensorIdentified(int port);
// A parameter set was read from or written to a memory.
void NoteParameterSet(Memory m, const std::uint16_t* words, const char* how);
// The sensor confirmed a calibration with the words sent (answer words held).
void NoteCalibrationLoaded(int slopeWord, int interceptWord);
// A run answer came in (engine time, raw value, µm value, edge found).
void NoteRunAnswer(double time, int raw, int um, bool edge);
// The operator has calibration object `index` (0, 1) in place: the last run
// answer since the calibration becomes its reading. False (nothing changes)
// without a calibration or without such an answer.
bool TakeObjectReading(int index);
// A strip chart answer was drawn; a complete video line was drawn.
void NoteStripChartAnswer();
void NoteVideoLine();
// Whether the EEPROM set of the present sensor was read yet.
bool EepromFound();
// The record as it stands, with statistics, chart and video from the
// program's globals.
SetupRecord CurrentSetupRecord();
// Forgets everything (program start, tests).
void ResetSetupRecord();

} // namespace korven::record
