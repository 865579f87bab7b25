// The virtual sensor as a peer on a headless serial line: the bytes the
// program writes go into the device model, and its answers go back over the
// line at their due times (the line itself paces them byte by byte).
//
//   korven::test::SimPeer sensor;              // default preset, board 100
//   korven::test::SimPeer sensor("type1");     // any preset by name
//   bed().attachPeer(1, &sensor);
//   sensor.faults().silent = true;             // misbehave from now on
#pragma once

#include "runtime/headless/headless.h"
#include "sim/sensor_model.h"

#include <string_view>
#include <vector>

namespace korven::test {

// The model options of a preset by name (aborts the test program on an
// unknown name).
sim::ModelOptions PresetOptions(std::string_view presetName, std::uint32_t seed = 1);

class SimPeer : public rt::headless::SerialPeer {
  public:
    explicit SimPeer(sim::ModelOptions options = {});
    // A preset by name (aborts the test program on an unknown name).
    explicit SimPeer(std::string_view presetName, std::uint32_t seed = 1);

    sim::SensorModel& model() { return model_; }
    const sim::SensorModel& model() const { return model_; }
    sim::Faults& faults() { return model_.faults(); }

    // Every complete command frame the sensor took in, in order.
    const std::vector<sim::Bytes>& frames() const { return frames_; }
    // Their command codes.
    std::vector<int> commands() const;
    // Answers put on the line so far (after faults).
    const std::vector<sim::Output>& answers() const { return answers_; }
    // Word 0 (the left edge) of the last `count` run answers, newest first.
    std::vector<int> lastLeftEdges(std::size_t count) const;
    int hostCloses() const { return closes_; }

    void onReceive(double arrivalTime, std::span<const std::uint8_t> bytes,
                   rt::headless::PeerLink& link) override;
    void onHostClose(double time) override;

  private:
    sim::SensorModel model_;
    std::vector<sim::Bytes> frames_;
    std::vector<sim::Output> answers_;
    int closes_ = 0;
};

} // namespace korven::test
