// Running statistics of the run answers: count, mean, standard deviation,
// minimum and maximum (Welford's update, numerically stable over long runs),
// process capability against set-point +- tolerance, the share out of
// tolerance and the answer rate. Answers in which the sensor found no edge
// carry no value: they are counted apart and left out of every figure.
#pragma once

#include "analysis/recording.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace korven::analysis {

class RunningMoments {
  public:
    void add(double x);
    std::size_t count() const { return n_; }
    double mean() const { return mean_; }
    // Sample standard deviation (n - 1); 0 below two values.
    double stddev() const;
    double min() const { return min_; }
    double max() const { return max_; }

  private:
    std::size_t n_ = 0;
    double mean_ = 0.0;
    double m2_ = 0.0;
    double min_ = 0.0;
    double max_ = 0.0;
};

class Statistics {
  public:
    void reset();
    // Takes one answer. An answer with another set-point or tolerance than
    // the answers before starts the statistics afresh, since capability
    // against mixed limits means nothing; so does one with another
    // calibration, since micrometres of two calibrations do not mix.
    void add(const Answer& a);

    const RunningMoments& measured() const { return measured_; }
    const RunningMoments& um() const { return um_; }
    // Answers taken, with and without an edge.
    std::size_t count() const { return answers_; }
    // Answers in which no edge was found.
    std::size_t noEdge() const { return noEdge_; }
    std::size_t outOfTolerance() const { return out_; }
    std::uint16_t setpoint() const { return setpoint_; }
    std::uint16_t tolerance() const { return tolerance_; }
    // Cp = 2 tol / 6 sigma, Cpk = min(USL - mean, mean - LSL) / 3 sigma; NaN
    // while sigma is 0 or fewer than two answers are in.
    double cp() const;
    double cpk() const;
    // Answers per second while answers come in: pauses longer than an
    // answer's time-out (between runs) do not count. 0 below two answers.
    double rate() const;
    // The lines of the statistics area.
    std::string text() const;

  private:
    RunningMoments measured_;
    RunningMoments um_;
    std::size_t answers_ = 0;
    std::size_t noEdge_ = 0;
    std::size_t out_ = 0;
    std::uint16_t setpoint_ = 0;
    std::uint16_t tolerance_ = 0;
    std::uint16_t slope_ = 0;
    std::uint16_t intersect_ = 0;
    double last_ = 0.0;
    double span_ = 0.0;         // seconds between answers, pauses left out
    std::size_t intervals_ = 0; // the intervals summed in span_
};

} // namespace korven::analysis
