// A serial peer that cuts the program's bytes into 36-byte command frames.
#include "runtime/headless/headless.h"

namespace korven::rt::headless {

namespace {
constexpr std::size_t kFrameBytes = 36;
constexpr int kDataWords = 16;
} // namespace

ScriptedPeer::ScriptedPeer(Handler handler) : handler_(std::move(handler)) {}

void ScriptedPeer::setHandler(Handler handler) {
    handler_ = std::move(handler);
}

void ScriptedPeer::onReceive(double arrivalTime, std::span<const std::uint8_t> bytes,
                             PeerLink& link) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    while (pending_.size() >= kFrameBytes) {
        std::vector<std::uint8_t> frame(
            pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(kFrameBytes));
        pending_.erase(pending_.begin(),
                       pending_.begin() + static_cast<std::ptrdiff_t>(kFrameBytes));
        frames_.push_back(frame);
        if (handler_) {
            handler_(frame, arrivalTime, link);
        }
    }
}

void ScriptedPeer::onHostClose(double /*time*/) {
    pending_.clear();
}

std::vector<std::uint8_t> ScriptedPeer::answer(int syncWord, int echo,
                                               const std::vector<std::uint16_t>& words) {
    std::vector<std::uint8_t> out;
    out.reserve(kFrameBytes);
    auto put = [&](unsigned v) {
        out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
        out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    };
    put(static_cast<unsigned>(syncWord));
    put(static_cast<unsigned>(echo));
    for (int k = 0; k < kDataWords; ++k) {
        put(k < static_cast<int>(words.size()) ? words[static_cast<std::size_t>(k)] : 0u);
    }
    return out;
}

int ScriptedPeer::commandOf(const std::vector<std::uint8_t>& frame) {
    if (frame.size() < 4) {
        return -1;
    }
    return frame[2] * 256 + frame[3];
}

std::uint16_t ScriptedPeer::wordOf(const std::vector<std::uint8_t>& frame, int dataWord) {
    if (dataWord < 0) {
        return 0;
    }
    const std::size_t at = 4 + 2 * static_cast<std::size_t>(dataWord);
    if (at + 1 >= frame.size()) {
        return 0;
    }
    return static_cast<std::uint16_t>(frame[at] * 256 + frame[at + 1]);
}

} // namespace korven::rt::headless
