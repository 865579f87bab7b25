// Serial-line helpers for tests: open a port to a peer with the program's
// line settings, and a scripted sensor that answers each command frame
// with the next reply of its script.
#pragma once

#include "runtime/headless/headless.h"

#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

namespace korven::test {

using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint16_t>;

// Attaches the peer to the port, opens it with the program's settings
// (19200 8N1, 4096-byte queues), empties both queues, sets `com` to the port
// and installs the receive notification.
void OpenLine(rt::headless::HeadlessBackend& bed, rt::headless::SerialPeer* peer, int port = 1);

// Words as they go on the line: high byte first.
Bytes WordBytes(const Words& words);
// A 36-byte answer frame: answer sync word, command echo, 16 data words
// (missing words are 0).
Bytes AnswerFrame(int echo, const Words& words, int syncWord = 0x00AA);
// A 36-byte request frame as the program sends it: request sync word,
// command, 16 data words.
Bytes RequestFrame(int command, const Words& words);
// count bytes of one value.
Bytes Filled(int count, std::uint8_t value);
// a, then b.
Bytes Concat(Bytes a, const Bytes& b);

// What the peer does with one command frame. frameEnd is the time the
// frame's last byte arrived.
using Reply = rt::headless::ScriptedPeer::Handler;

namespace reply {
// An answer frame with the given data words that echoes the received
// command, starting `delay` seconds after the frame arrived.
Reply Answer(Words words, double delay = 0.0, int syncWord = 0x00AA);
// Raw bytes, starting `delay` seconds after the frame arrived.
Reply Send(Bytes bytes, double delay = 0.0);
// Raw bytes in pieces: each piece starts at its own delay after the frame
// arrived (or when the previous piece has gone, if later).
Reply Pieces(std::vector<std::pair<double, Bytes>> pieces);
// Raw bytes in pieces, each given with the time its last byte arrives,
// counted from the moment the request was written.
Reply ArrivingAt(std::vector<std::pair<double, Bytes>> pieces);
} // namespace reply

// A scripted sensor. Each command frame takes the next reply queued with
// then() (an empty one: no answer); when the queue is empty, the standing
// reply for its command (if any) answers, else the peer stays silent.
class LinePeer : public rt::headless::ScriptedPeer {
  public:
    LinePeer();
    LinePeer(const LinePeer&) = delete;
    LinePeer& operator=(const LinePeer&) = delete;

    LinePeer& then(Reply reply);
    LinePeer& answer(Words words, double delay = 0.0) {
        return then(reply::Answer(std::move(words), delay));
    }
    LinePeer& send(Bytes bytes, double delay = 0.0) {
        return then(reply::Send(std::move(bytes), delay));
    }
    LinePeer& silent() { return then(nullptr); } // no answer at all
    // A standing reply for every frame of this command.
    LinePeer& always(int command, Reply reply);

    // Command words of the frames received so far, in order.
    std::vector<int> commands() const;

  private:
    void dispatch(const std::vector<std::uint8_t>& frame, double frameEnd,
                  rt::headless::PeerLink& link);

    std::deque<Reply> script_;
    std::map<int, Reply> standing_;
};

} // namespace korven::test
