// Figures measured in the headless test bed: the program's logic on the
// virtual clock, against the device model on a line with byte timing.
#pragma once

#include "bench/bench_common.h"

#include <string>
#include <vector>

namespace korven::bench {

struct HeadlessOptions {
    std::string projectDir;      // where KORVENDarir23.uir lies
    double processing = 0.002;   // sensor's processing time, seconds
    double seconds = 10.0;       // measuring window (virtual time)
    double ownCostSeconds = 3.0; // wall-clock window of the instant-sensor run
};

// Appends the headless rows (run sequence, both video boards, own cost).
void RunHeadlessBenchmarks(const HeadlessOptions& options, std::vector<Row>& rows);

} // namespace korven::bench
