#include "support/line.h"

#include "link/com232.h"

#include <gtest/gtest.h>

namespace korven::test {

using rt::headless::PeerLink;
using rt::headless::ScriptedPeer;

void OpenLine(rt::headless::HeadlessBackend& bed, rt::headless::SerialPeer* peer, int port) {
    bed.attachPeer(port, peer);
    const int opened = OpenComConfig(port, "", 19200, 0, 8, 1, 4096, 4096);
    EXPECT_GE(opened, 0) << "port " << port << " did not open";
    FlushInQ(port);
    FlushOutQ(port);
    com = port;
    InstallRxNotification();
}

Bytes WordBytes(const Words& words) {
    Bytes bytes;
    bytes.reserve(words.size() * 2);
    for (const std::uint16_t w : words) {
        bytes.push_back(static_cast<std::uint8_t>(w >> 8));
        bytes.push_back(static_cast<std::uint8_t>(w & 0xFF));
    }
    return bytes;
}

Bytes AnswerFrame(int echo, const Words& words, int syncWord) {
    Words all(2 + PNUM, 0);
    all[0] = static_cast<std::uint16_t>(syncWord);
    all[1] = static_cast<std::uint16_t>(echo);
    for (std::size_t k = 0; k < words.size() && k < static_cast<std::size_t>(PNUM); ++k) {
        all[2 + k] = words[k];
    }
    return WordBytes(all);
}

Bytes RequestFrame(int command, const Words& words) {
    return AnswerFrame(command, words, 0x0055);
}

Bytes Filled(int count, std::uint8_t value) {
    return Bytes(static_cast<std::size_t>(count < 0 ? 0 : count), value);
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

namespace reply {

Reply Answer(Words words, double delay, int syncWord) {
    return [words = std::move(words), delay, syncWord](const std::vector<std::uint8_t>& frame,
                                                       double frameEnd, PeerLink& link) {
        const Bytes bytes = AnswerFrame(ScriptedPeer::commandOf(frame), words, syncWord);
        link.send(frameEnd + delay, bytes);
    };
}

Reply Send(Bytes bytes, double delay) {
    return Pieces({{delay, std::move(bytes)}});
}

Reply Pieces(std::vector<std::pair<double, Bytes>> pieces) {
    return [pieces = std::move(pieces)](const std::vector<std::uint8_t>&, double frameEnd,
                                        PeerLink& link) {
        for (const auto& [delay, bytes] : pieces) {
            link.send(frameEnd + delay, bytes);
        }
    };
}

Reply ArrivingAt(std::vector<std::pair<double, Bytes>> pieces) {
    // A request and each byte take this long on the line at 19200 baud.
    constexpr double kByteTime = 10.0 / 19200;
    for (auto& [at, bytes] : pieces) {
        at -= static_cast<double>(kFrameBytes + bytes.size()) * kByteTime;
    }
    return Pieces(std::move(pieces));
}

} // namespace reply

LinePeer::LinePeer() {
    setHandler([this](const std::vector<std::uint8_t>& frame, double frameEnd, PeerLink& link) {
        dispatch(frame, frameEnd, link);
    });
}

LinePeer& LinePeer::then(Reply reply) {
    script_.push_back(std::move(reply));
    return *this;
}

LinePeer& LinePeer::always(int command, Reply reply) {
    standing_[command] = std::move(reply);
    return *this;
}

std::vector<int> LinePeer::commands() const {
    std::vector<int> out;
    for (const auto& frame : frames()) {
        out.push_back(commandOf(frame));
    }
    return out;
}

void LinePeer::dispatch(const std::vector<std::uint8_t>& frame, double frameEnd, PeerLink& link) {
    if (!script_.empty()) {
        Reply next = std::move(script_.front());
        script_.pop_front();
        if (next) {
            next(frame, frameEnd, link);
        }
        return;
    }
    const auto standing = standing_.find(commandOf(frame));
    if (standing != standing_.end() && standing->second) {
        standing->second(frame, frameEnd, link);
    }
}

} // namespace korven::test
