#include "support/sim_peer.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace korven::test {

sim::ModelOptions PresetOptions(std::string_view presetName, std::uint32_t seed) {
    const sim::Preset* preset = sim::FindPreset(presetName);
    if (preset == nullptr) {
        std::fprintf(stderr, "SimPeer: unknown preset '%s'\n", std::string(presetName).c_str());
        std::abort();
    }
    sim::ModelOptions options;
    options.preset = *preset;
    options.seed = seed;
    return options;
}

SimPeer::SimPeer(sim::ModelOptions options) : model_(std::move(options)) {
    model_.setFrameObserver([this](double, const sim::Bytes& frame) { frames_.push_back(frame); });
}

SimPeer::SimPeer(std::string_view presetName, std::uint32_t seed)
    : SimPeer(PresetOptions(presetName, seed)) {}

std::vector<int> SimPeer::commands() const {
    std::vector<int> codes;
    codes.reserve(frames_.size());
    for (const sim::Bytes& f : frames_) {
        codes.push_back(sim::SensorModel::wordAt(f, 2));
    }
    return codes;
}

std::vector<int> SimPeer::lastLeftEdges(std::size_t count) const {
    std::vector<int> edges;
    for (auto it = answers_.rbegin(); it != answers_.rend() && edges.size() < count; ++it) {
        if (it->command == sim::kCmdRun) {
            edges.push_back(sim::SensorModel::wordAt(it->bytes, 4));
        }
    }
    return edges;
}

void SimPeer::onReceive(double arrivalTime, std::span<const std::uint8_t> bytes,
                        rt::headless::PeerLink& link) {
    model_.setByteTime(link.byteTime());
    for (sim::Output& out : model_.receive(arrivalTime, bytes)) {
        // The line paces the bytes itself: the due time is the start time.
        link.send(out.due, out.bytes);
        answers_.push_back(std::move(out));
    }
}

void SimPeer::onHostClose(double) {
    ++closes_;
    model_.resetInput();
}

} // namespace korven::test
