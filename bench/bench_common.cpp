#include "bench/bench_common.h"

#include <sys/resource.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace korven::bench {

double RunCycleSeconds(double processing) {
    return 2.0 * kFrameBytes * kByteTime + processing;
}

double VideoCycleSeconds(bool fourBlocks, double processing) {
    if (fourBlocks) {
        // 4 x (36-byte request + 128-byte block)
        return RunCycleSeconds(processing) + 4.0 * ((kFrameBytes + 128) * kByteTime + processing);
    }
    return RunCycleSeconds(processing) + (kFrameBytes + 512) * kByteTime + processing;
}

double StartupSeconds(double processing) {
    const double echo = RunCycleSeconds(processing);
    const double hardware = RunCycleSeconds(processing);
    const double get = RunCycleSeconds(processing);
    const double firmware = (kFrameBytes + 72) * kByteTime + processing;
    return echo + hardware + get + firmware + 3 * 0.1;
}

double MonotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto secs = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
    };
    return secs(ru.ru_utime) + secs(ru.ru_stime);
}

Memory ProcessMemory(int pid) {
    Memory m;
    const std::string path =
        pid == 0 ? std::string("/proc/self/status") : "/proc/" + std::to_string(pid) + "/status";
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        long value = -1;
        fields >> key >> value;
        if (key == "VmRSS:") {
            m.rssKiB = value;
        } else if (key == "VmHWM:") {
            m.hwmKiB = value;
        }
    }
    return m;
}

double RateOf(const std::vector<double>& stamps, double from, double to) {
    double first = 0.0, last = 0.0;
    long n = 0;
    for (const double t : stamps) {
        if (t < from || t > to) {
            continue;
        }
        if (n == 0) {
            first = t;
        }
        last = t;
        ++n;
    }
    return n >= 2 && last > first ? static_cast<double>(n - 1) / (last - first) : 0.0;
}

Row MakeRow(std::string figure, std::string bed, double measured, double goal, std::string unit) {
    Row r;
    r.figure = std::move(figure);
    r.bed = std::move(bed);
    r.measured = measured;
    r.goal = goal;
    r.unit = std::move(unit);
    return r;
}

void PrintTable(const std::vector<Row>& rows, const std::string& title) {
    std::printf("%s\n\n", title.c_str());
    std::printf("| %-50s | %-16s | %10s | %10s | %-8s | %6s | %-7s | %-4s |\n", "figure", "bed",
                "measured", "limit", "unit", "ratio", "goal", "met");
    std::printf(
        "|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(52, '-').c_str(), std::string(18, '-').c_str(),
        std::string(12, '-').c_str(), std::string(12, '-').c_str(), std::string(10, '-').c_str(),
        std::string(8, '-').c_str(), std::string(9, '-').c_str(), std::string(6, '-').c_str());
    for (const Row& r : rows) {
        char measured[32];
        char ratio[32];
        char goal[32];
        const char* verdict = "";
        std::snprintf(goal, sizeof goal, "%s %.3g", r.higherIsBetter ? ">=" : "<=", r.ratioGoal);
        if (r.failed) {
            std::snprintf(measured, sizeof measured, "%s", "failed");
            std::snprintf(ratio, sizeof ratio, "%s", "-");
            verdict = "no";
        } else {
            std::snprintf(measured, sizeof measured, r.measured >= 1e4 ? "%.0f" : "%.4g",
                          r.measured);
            const double q = r.goal != 0.0 ? r.measured / r.goal : 0.0;
            std::snprintf(ratio, sizeof ratio, "%.3f", q);
            const bool met = r.higherIsBetter ? q >= r.ratioGoal : q <= r.ratioGoal;
            verdict = met ? "yes" : "NO";
        }
        char limit[32];
        std::snprintf(limit, sizeof limit, r.goal >= 1e4 ? "%.0f" : "%.4g", r.goal);
        std::printf("| %-50s | %-16s | %10s | %10s | %-8s | %6s | %-7s | %-4s |\n",
                    r.figure.c_str(), r.bed.c_str(), measured, limit, r.unit.c_str(), ratio, goal,
                    verdict);
    }
    bool anyNote = false;
    for (const Row& r : rows) {
        if (!r.note.empty()) {
            if (!anyNote) {
                std::printf("\n");
                anyNote = true;
            }
            std::printf("- %s (%s): %s\n", r.figure.c_str(), r.bed.c_str(), r.note.c_str());
        }
    }
    std::fflush(stdout);
}

} // namespace korven::bench
