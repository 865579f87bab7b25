// Shared pieces of the benchmarks: the serial line's limits, process
// statistics (CPU time, memory) and the result table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korven::bench {

// 8N1 at 19200 baud: ten bit times a byte.
inline constexpr double kByteTime = 10.0 / 19200.0;
inline constexpr int kFrameBytes = 36;

// Seconds one exchange needs on the wire, both directions, plus the
// sensor's processing time for each request.
double RunCycleSeconds(double processing);
// One live video cycle: the run exchange and then the blocks of a line,
// four requests for 64 samples (boards 0 and 100) or one for 256.
double VideoCycleSeconds(bool fourBlocks, double processing);
// Start-up against a sensor that answers everything: echo, hardware info,
// RAM parameter set and firmware text, with the three 0.1 s pauses.
double StartupSeconds(double processing);

// Monotonic clock in seconds (CLOCK_MONOTONIC, comparable between processes).
double MonotonicNow();
// User plus system CPU time of this process, in seconds.
double ProcessCpuSeconds();
// VmRSS and VmHWM of a process in KiB (pid 0: this process); -1 when unknown.
struct Memory {
    long rssKiB = -1;
    long hwmKiB = -1;
};
Memory ProcessMemory(int pid = 0);

// One row of the table.
struct Row {
    std::string figure;
    std::string bed; // "Qt/pty", "headless", ...
    double measured = 0.0;
    double goal = 0.0; // limit or goal, same unit
    std::string unit;
    // true: the measured value should reach at least `ratioGoal` of the
    // goal; false: it should stay at or below the goal.
    bool higherIsBetter = true;
    double ratioGoal = 1.0;
    std::string note;
    bool failed = false; // the measurement itself did not complete
};

Row MakeRow(std::string figure, std::string bed, double measured, double goal, std::string unit);

// Events a second from their time stamps: (n - 1) intervals over the time
// from the first to the last stamp inside [from, to]. 0 with fewer than 2.
double RateOf(const std::vector<double>& stamps, double from, double to);

void PrintTable(const std::vector<Row>& rows, const std::string& title);

} // namespace korven::bench
