// Telnet as a serial line over the network (RFC 854 framing with the
// COM-PORT-OPTION of RFC 2217): a codec that turns received bytes into the
// line's data bytes and the peer's commands, keeping its state between
// chunks, and the few encoders a client needs. No sockets here: the Qt back
// end feeds it what a socket received and sends what it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korven::rt::telnet {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;

constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kEcho = 1;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPortOption = 44;

// A subnegotiation longer than this is no answer a serial line gives: it is
// dropped rather than held without bound.
constexpr std::size_t kMaxSubnegotiation = 64;

struct Event {
    enum class Kind { Will, Wont, Do, Dont, Command, Subnegotiation };
    Kind kind = Kind::Command;
    std::uint8_t code = 0; // the option (or, for a plain command, its code)
    Bytes payload;         // a subnegotiation's bytes after the option, unescaped
    bool operator==(const Event&) const = default;
};

class Codec {
  public:
    // Appends the data bytes among `bytes` to `data` and the commands to
    // `events`. A command may be split across calls anywhere.
    void receive(const std::uint8_t* bytes, std::size_t size, Bytes& data,
                 std::vector<Event>& events);

    // Data bytes as they go on the wire: 0xFF doubled.
    static void Escape(const std::uint8_t* bytes, std::size_t size, Bytes& out);
    static Bytes Command(std::uint8_t verb, std::uint8_t option);
    static Bytes Subnegotiation(std::uint8_t option, const Bytes& payload);

  private:
    enum class State { Data, Iac, Verb, Sub, SubIac };
    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    Bytes sub_;
    bool subTooLong_ = false;
};

// Which options each side may enable, and the answers the peer's requests
// need: options not listed are refused, requests already in force are not
// answered again (so that two sides never loop on the same option).
class Options {
  public:
    Options(std::vector<std::uint8_t> ours, std::vector<std::uint8_t> theirs);

    // Asks to enable an option on our side (kWill) or the peer's (kDo).
    Bytes request(std::uint8_t verb, std::uint8_t option);
    // The answer an event needs; empty when none.
    Bytes answer(const Event& event);

    bool ours(std::uint8_t option) const { return state_[option].ours; }
    bool theirs(std::uint8_t option) const { return state_[option].theirs; }
    // The peer refused what we asked for this option.
    bool refused(std::uint8_t option) const { return state_[option].refused; }

  private:
    struct State {
        bool mayOurs = false, mayTheirs = false;
        bool ours = false, theirs = false;
        bool askedOurs = false, askedTheirs = false;
        bool refused = false;
    };
    State state_[256];
};

} // namespace korven::rt::telnet

namespace korven::rt::rfc2217 {

// Client-to-server codes; the server answers with the same code plus 100.
constexpr std::uint8_t kSetBaudrate = 1;
constexpr std::uint8_t kSetDatasize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopsize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kServerOffset = 100;

// SET-CONTROL values.
constexpr std::uint32_t kNoFlowControl = 1;
constexpr std::uint32_t kHardwareFlowControl = 3;
// PURGE-DATA values: the server's receive buffer (what comes from the
// line), its transmit buffer (what goes to the line).
constexpr std::uint32_t kPurgeReceive = 1;
constexpr std::uint32_t kPurgeTransmit = 2;

// A COM-PORT-OPTION request; the baud rate takes four bytes, the rest one.
telnet::Bytes Request(std::uint8_t code, std::uint32_t value);

struct Reply {
    std::uint8_t code = 0; // the client's code (the server's less 100)
    std::uint32_t value = 0;
    bool operator==(const Reply&) const = default;
};
// The server's answer in a COM-PORT-OPTION subnegotiation; nothing for
// other events or a malformed one.
std::optional<Reply> ParseReply(const telnet::Event& event);

// The engine's parity (0 none, 1 odd, 2 even, 3 mark, 4 space) as
// SET-PARITY's value (1 none ... 5 space).
constexpr std::uint32_t ParityValue(int parity) {
    return static_cast<std::uint32_t>(parity) + 1;
}

// What a request is called in a reason given to the operator.
std::string_view RequestName(std::uint8_t code);

} // namespace korven::rt::rfc2217
