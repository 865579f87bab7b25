// What the program publishes to an MQTT broker: the broker address, the
// topic names and the JSON payloads, and the bounded queue and batching
// between the user-interface thread and the network thread. Plain C++ (no
// Qt, no network), so that every rule here is tested on its own.
#pragma once

#include "analysis/compare.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korven::publish {

// ---- Broker address -----------------------------------------------------------

struct BrokerAddress {
    bool tls = false;
    std::string host;
    int port = 0;
    std::string text() const { return host + ":" + std::to_string(port); }
};

constexpr int kDefaultPort = 1883;
constexpr int kDefaultTlsPort = 8883;

// Reads "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]" (an IPv6 address in
// brackets: "mqtt://[::1]:1883"). Returns "" and fills `out`, or the reason
// the text is no broker address.
std::string ParseBrokerUrl(std::string_view url, BrokerAddress& out);

// ---- Topics ----------------------------------------------------------------------

constexpr const char* kDefaultPrefix = "korven";
// Longest topic level the program makes of a name.
constexpr std::size_t kMaxLevel = 64;

// One topic level made of any text: letters, digits, '_', '.' and '-' stay,
// every other character (the separator '/', the wildcards '+' and '#',
// spaces, control and non-ASCII bytes) becomes '-', runs of '-' fold into
// one and '-' at either end is dropped; at most kMaxLevel characters.
// "unnamed" when nothing is left.
std::string TopicLevel(std::string_view text);
// A prefix of one or more levels ("korven", "plant/line3"), each made a
// level as above; empty levels are dropped. kDefaultPrefix when none is left.
std::string TopicPrefix(std::string_view text);
// The level that names the sensor: "pcb100-fw231" from its board and its
// firmware version, "pcb100" without a firmware version, the port's name
// (made a level) when the board is not known.
std::string SensorLevel(unsigned board, unsigned firmware, std::string_view portName);

struct Topics {
    std::string base; // PREFIX/STATION/SENSOR
    std::string measurement() const { return base + "/measurement"; }
    std::string state() const { return base + "/state"; }
    std::string identity() const { return base + "/identity"; }
    std::string parameters() const { return base + "/parameters"; }
    std::string calibration() const { return base + "/calibration"; }
};
Topics MakeTopics(std::string_view prefix, std::string_view station, std::string_view sensor);

// ---- Payloads --------------------------------------------------------------------

extern const char* const kStateSchema;
extern const char* const kIdentitySchema;
extern const char* const kParametersSchema;
extern const char* const kCalibrationSchema;

// The program's state as the state topic tells it.
enum class State { Connected, Running, LineDisturbed, Offline };
const char* StateName(State s);

struct Counts {
    std::uint64_t sent = 0; // messages the broker connection took
    std::uint64_t lost = 0; // messages dropped: queue full, connection lost
    std::size_t queued = 0; // waiting in the queue
    bool connected = false; // to the broker
};

std::string StatePayload(State s, const Counts& counts, std::int64_t wallMs);
// The last will: the broker publishes it when the program vanishes.
std::string WillPayload();

struct Identity {
    std::string port;
    unsigned board = 0, ccd = 0, pixels = 0, resolution = 0, subpixels = 0, firmwareVersion = 0;
    std::string firmware;
    std::string program;
};
std::string IdentityPayload(const Identity& id, std::int64_t wallMs);

// A parameter set read from or written to a memory ("ram", "eeprom");
// `confirmed` is false for a write whose read-back differed (the words are
// then the ones read back, which the sensor holds).
std::string ParametersPayload(const char* memory, bool written, bool confirmed,
                              const analysis::ParameterWords& words, std::int64_t wallMs);

struct Calibration {
    double raw[2] = {0.0, 0.0}; // reference points: sub-pixel values
    double um[2] = {0.0, 0.0};  // and their micrometres
    double slope = 0.0, offset = 0.0;
    unsigned slopeWord = 0, interceptWord = 0;
};
std::string CalibrationPayload(const Calibration& c, std::int64_t wallMs);

// ---- Queue and batching ------------------------------------------------------------

struct Message {
    std::string topic;
    std::string payload;
    int qos = 0;
};

// Messages on their way to the network thread, at most `capacity` of them;
// one that does not fit is refused and counted, the ones queued keep their
// order. Not locked: its owner locks.
class BoundedQueue {
  public:
    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity) {}
    bool push(Message m);
    std::optional<Message> pop();
    std::size_t size() const { return items_.size(); }
    std::size_t capacity() const { return capacity_; }
    std::uint64_t refused() const { return refused_; }

  private:
    std::size_t capacity_;
    std::deque<Message> items_;
    std::uint64_t refused_ = 0;
};

// Measurement answers into messages. At rate 0 every answer is a message
// of its own (one JSON object). At rate N the answers are gathered and sent
// as one JSON array at most N times a second: an answer that comes
// 1/N seconds or more after the last message went out sends what was
// gathered, itself included.
class Batcher {
  public:
    explicit Batcher(int perSecond) : perSecond_(perSecond < 0 ? 0 : perSecond) {}
    // Takes one answer (a JSON object) at engine time `now`; returns the
    // message payload when one is due.
    std::optional<std::string> add(std::string_view row, double now);
    // What was gathered (the loop ended); nothing when nothing was.
    std::optional<std::string> flush();
    std::size_t gathered() const { return rows_.size(); }

  private:
    int perSecond_;
    std::vector<std::string> rows_;
    std::optional<double> lastSent_;
};

} // namespace korven::publish
