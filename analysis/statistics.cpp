// Running statistics of the run answers.
#include "analysis/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace korven::analysis {

namespace {
// A longer silence than an answer may take is a pause between runs.
constexpr double kPause = 2.0;

// Two decimals, or "-" where the figure is not defined yet.
std::string Figure(double v) {
    if (!std::isfinite(v)) {
        return "-";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}
} // namespace

void RunningMoments::add(double x) {
    ++n_;
    if (n_ == 1) {
        min_ = max_ = x;
    } else {
        min_ = std::min(min_, x);
        max_ = std::max(max_, x);
    }
    const double delta = x - mean_;
    mean_ += delta / static_cast<double>(n_);
    m2_ += delta * (x - mean_);
}

double RunningMoments::stddev() const {
    return n_ < 2 ? 0.0 : std::sqrt(std::max(0.0, m2_) / static_cast<double>(n_ - 1));
}

void Statistics::reset() {
    *this = Statistics{};
}

void Statistics::add(const Answer& a) {
    if (count() > 0 && (a.setpoint != setpoint_ || a.tolerance != tolerance_ || a.slope != slope_ ||
                        a.intersect != intersect_)) {
        reset();
    }
    if (count() == 0) {
        setpoint_ = a.setpoint;
        tolerance_ = a.tolerance;
        slope_ = a.slope;
        intersect_ = a.intersect;
    } else if (a.time - last_ <= kPause) {
        span_ += a.time - last_;
        ++intervals_;
    }
    last_ = a.time;
    ++answers_;
    // Without an edge the measured value is no position: it would pull the
    // figures towards 0.
    if (a.edges == 0) {
        ++noEdge_;
        return;
    }
    measured_.add(a.measured);
    um_.add(a.um);
    if (!InTolerance(a)) {
        ++out_;
    }
}

double Statistics::cp() const {
    const double s = measured_.stddev();
    return s > 0.0 ? 2.0 * tolerance_ / (6.0 * s) : std::numeric_limits<double>::quiet_NaN();
}

double Statistics::cpk() const {
    const double s = measured_.stddev();
    if (!(s > 0.0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const double upper = static_cast<double>(setpoint_) + tolerance_ - measured_.mean();
    const double lower = measured_.mean() - (static_cast<double>(setpoint_) - tolerance_);
    return std::min(upper, lower) / (3.0 * s);
}

double Statistics::rate() const {
    return span_ > 0.0 ? static_cast<double>(intervals_) / span_ : 0.0;
}

std::string Statistics::text() const {
    const std::size_t values = measured_.count();
    const double share =
        values > 0 ? 100.0 * static_cast<double>(out_) / static_cast<double>(values) : 0.0;
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "Answers      %zu (%.2f/s)\n"
                  "No edge      %zu\n"
                  "Limits       %u +- %u\n"
                  "Value  mean  %.2f  sd %.2f\n"
                  "       min   %.0f  max %.0f\n"
                  "Cp %s   Cpk %s\n"
                  "Out of tol.  %zu (%.1f %%)\n"
                  "um     mean  %.1f  sd %.1f\n"
                  "       min   %.0f  max %.0f",
                  count(), rate(), noEdge_, setpoint_, tolerance_, measured_.mean(),
                  measured_.stddev(), measured_.min(), measured_.max(), Figure(cp()).c_str(),
                  Figure(cpk()).c_str(), out_, share, um_.mean(), um_.stddev(), um_.min(),
                  um_.max());
    return buf;
}

} // namespace korven::analysis
