// Recording of run answers into a CSV file with a sidecar file that holds
// the sensor's identity and the parameter set at the start. Rows are kept
// in memory and written at most once a second, so that the measuring loops
// never wait for the disk; a failed write ends the recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korven::analysis {

// One run answer as the sensor sent it, with the engine time it came in.
struct Answer {
    double time = 0.0; // Timer() seconds
    std::uint16_t left = 0;
    std::uint16_t right = 0;
    std::uint16_t measured = 0;
    int um = 0;
    std::uint16_t setpoint = 0;
    std::uint16_t tolerance = 0;
    std::uint16_t edges = 0;
    std::uint16_t anaMax = 0;
    std::uint16_t anaMin = 0;
    // The calibration words the micrometre value was computed with.
    std::uint16_t slope = 0;
    std::uint16_t intersect = 0;
};

// The measured value lies within set-point +- tolerance (limits included).
bool InTolerance(const Answer& a);

// Writes data to the file at path: appended when `append`, else the file is
// created or emptied first. Returns 0 on success. The file system's version
// is the default; tests put in their own to make writes fail.
using WriteFunction = int (*)(const std::string& path, std::string_view data, bool append);
void SetWriteFunction(WriteFunction fn); // nullptr: the file system
int WriteText(const std::string& path, std::string_view data, bool append);
// The system's reason for the failure of the last WriteText ("" when it
// succeeded or the write function gave none).
std::string LastWriteError();
// Removes a file written in part (true when it is gone).
bool RemoveFile(const std::string& path);
// Whether anything is at the path.
bool FileExists(const std::string& path);

// The CSV header row (column names carry their units).
extern const char* const kCsvHeader;

// One CSV row of the answer with its line end: `since` seconds after the
// start, at wall time `wallMs` (ms since the epoch).
std::string CsvRow(const Answer& a, double since, std::int64_t wallMs);
// The same row as one JSON object on one line with its line end: the CSV's
// column names are its keys, and "schema" names this layout.
std::string JsonRow(const Answer& a, double since, std::int64_t wallMs);
extern const char* const kAnswerSchema;

// Local time as "YYYY-MM-DD HH:MM:SS.mmm" of milliseconds since the epoch.
std::string LocalTimeText(std::int64_t epochMs);

// A JSON string literal of the text: quotes, backslashes and control
// characters escaped, everything else (UTF-8 included) as it is.
std::string JsonText(std::string_view s);

class Recorder {
  public:
    // Creates the CSV file with its header row and writes the sidecar text
    // next to it. `now` is the engine time, `wallMs` the wall-clock time
    // (ms since the epoch) of the same instant. False when either file
    // cannot be written (nothing is recording then).
    bool start(const std::string& csvPath, const std::string& sidecarPath,
               std::string_view sidecarText, double now, std::int64_t wallMs);
    // Keeps one row; writes the rows kept when a second has passed since the
    // last write. False when that write failed: the recording has ended.
    bool add(const Answer& a);
    // Writes the rows kept (STOP, the end of a loop, program exit). False
    // when the write failed: the recording has ended.
    bool flush(double now);
    // Writes what is kept and ends the recording; false when that failed.
    bool stop(double now);

    bool active() const { return active_; }
    // Rows written to the file so far.
    std::size_t rowsWritten() const { return written_; }
    std::size_t rowsPending() const { return pendingRows_; }
    // Rows that were kept but could not be written.
    std::size_t rowsLost() const { return lost_; }
    const std::string& path() const { return path_; }
    double lastFlush() const { return lastFlush_; }

    static constexpr double kFlushInterval = 1.0;

  private:
    bool writePending(double now);

    bool active_ = false;
    std::string path_;
    std::string pending_;
    std::size_t pendingRows_ = 0;
    std::size_t written_ = 0;
    std::size_t lost_ = 0;
    double startTime_ = 0.0;
    std::int64_t startWallMs_ = 0;
    double lastFlush_ = 0.0;
};

} // namespace korven::analysis
