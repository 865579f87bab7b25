// Serial lines over the network, below the sockets: the Telnet codec with
// the COM-PORT-OPTION, the option negotiation's answers, and the addresses
// of network ports as the program and its command line take them.
#include "program/options.h"
#include "runtime/port_address.h"
#include "runtime/rfc2217.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace korven::rt::telnet;
namespace rfc = korven::rt::rfc2217;
using korven::rt::ParsePortAddress;
using korven::rt::PortAddress;
using Kind = Event::Kind;

struct Decoded {
    Bytes data;
    std::vector<Event> events;
    bool operator==(const Decoded&) const = default;
};

// Feeds `wire` in chunks of the given sizes (the last repeated).
Decoded Feed(const Bytes& wire, std::vector<std::size_t> chunks) {
    Codec codec;
    Decoded out;
    for (std::size_t at = 0, i = 0; at < wire.size(); i = std::min(i + 1, chunks.size() - 1)) {
        const std::size_t n = std::min(chunks[i], wire.size() - at);
        codec.receive(wire.data() + at, n, out.data, out.events);
        at += n;
    }
    return out;
}

// A stream with every kind of element, each beside data bytes.
const Bytes kWire = {0x10, kIac,  kIac,
                     0x11, // a doubled 0xFF
                     kIac, kWill, kComPortOption,
                     0x12, // an option
                     kIac, kSb,   kComPortOption,
                     101,  0x00,  0x00,
                     0x4B, 0x00,  kIac,
                     kSe, // an answer
                     kIac, kSb,   kComPortOption,
                     101,  0x00,  0x00,
                     kIac, kIac,  kIac,
                     kSe, // 0xFF inside one
                     0x13, kIac,  241,
                     0x14, kIac,  kDont,
                     kEcho}; // NOP, DONT

TEST(TelnetCodec, SplitsDataFromCommandsWhereverTheChunksEnd) {
    const Decoded whole = Feed(kWire, {kWire.size()});
    EXPECT_EQ(whole.data, (Bytes{0x10, 0xFF, 0x11, 0x12, 0x13, 0x14}));
    EXPECT_EQ(whole.events,
              (std::vector<Event>{{Kind::Will, kComPortOption, {}},
                                  {Kind::Subnegotiation, kComPortOption, {101, 0, 0, 0x4B, 0}},
                                  {Kind::Subnegotiation, kComPortOption, {101, 0, 0, 0xFF}},
                                  {Kind::Command, 241, {}},
                                  {Kind::Dont, kEcho, {}}}));
    // One byte at a time, and split in two at every place (an IAC among them).
    EXPECT_EQ(Feed(kWire, {1}), whole);
    for (std::size_t cut = 1; cut < kWire.size(); ++cut) {
        EXPECT_EQ(Feed(kWire, {cut, kWire.size()}), whole) << "cut at " << cut;
    }
}

TEST(TelnetCodec, DoublesEveryFfOnTheWayOutAndBack) {
    Bytes all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<std::uint8_t>(b));
    }
    Bytes wire;
    Codec::Escape(all.data(), all.size(), wire);
    EXPECT_EQ(wire.size(), 257u);
    EXPECT_EQ((Bytes(wire.end() - 3, wire.end())), (Bytes{0xFE, 0xFF, 0xFF}));
    EXPECT_EQ(Feed(wire, {1}).data, all);
    EXPECT_EQ(Feed(wire, {7}).events.size(), 0u);
}

// A subnegotiation too long for any answer, or broken by another command,
// is dropped; the data after it comes through.
TEST(TelnetCodec, DropsBrokenSubnegotiations) {
    for (const std::size_t length : {kMaxSubnegotiation, kMaxSubnegotiation + 1}) {
        Bytes wire = {kIac, kSb, kComPortOption};
        wire.insert(wire.end(), length - 1, 0x01);
        wire.insert(wire.end(), {kIac, kSe, 0x42});
        const Decoded d = Feed(wire, {5});
        EXPECT_EQ(d.data, Bytes{0x42});
        EXPECT_EQ(d.events.size(), length <= kMaxSubnegotiation ? 1u : 0u) << length;
    }
    const Decoded broken = Feed({kIac, kSb, kComPortOption, 101, kIac, kWill, 0x42}, {1});
    EXPECT_EQ(broken.data, Bytes{0x42});
    EXPECT_TRUE(broken.events.empty());
}

TEST(Rfc2217, RequestsAndAnswers) {
    EXPECT_EQ(rfc::Request(rfc::kSetBaudrate, 19200),
              (Bytes{kIac, kSb, 44, 1, 0x00, 0x00, 0x4B, 0x00, kIac, kSe}));
    EXPECT_EQ(rfc::Request(rfc::kSetBaudrate, 0xFF00FF),
              (Bytes{kIac, kSb, 44, 1, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, kIac, kSe}));
    EXPECT_EQ(rfc::Request(rfc::kSetParity, rfc::ParityValue(0)),
              (Bytes{kIac, kSb, 44, 3, 1, kIac, kSe}));
    EXPECT_EQ(rfc::ParityValue(4), 5u);
    const struct {
        Event event;
        std::optional<rfc::Reply> reply;
    } answers[] = {
        {{Kind::Subnegotiation, 44, {101, 0, 0, 0x4B, 0}}, rfc::Reply{1, 19200}},
        {{Kind::Subnegotiation, 44, {101, 0, 0, 0x25, 0x80}}, rfc::Reply{1, 9600}},
        {{Kind::Subnegotiation, 44, {102, 8}}, rfc::Reply{2, 8}},
        {{Kind::Subnegotiation, 44, {105, 1}}, rfc::Reply{5, 1}},
        {{Kind::Subnegotiation, 44, {112, 1}}, rfc::Reply{12, 1}},
        // The wrong width, the server's signature (100), a client code,
        // another option, no subnegotiation.
        {{Kind::Subnegotiation, 44, {101, 0, 0x4B, 0}}, std::nullopt},
        {{Kind::Subnegotiation, 44, {102, 8, 0}}, std::nullopt},
        {{Kind::Subnegotiation, 44, {100, 'x'}}, std::nullopt},
        {{Kind::Subnegotiation, 44, {2, 8}}, std::nullopt},
        {{Kind::Subnegotiation, 44, {}}, std::nullopt},
        {{Kind::Subnegotiation, 24, {102, 8}}, std::nullopt},
        {{Kind::Will, 44, {}}, std::nullopt},
    };
    for (const auto& a : answers) {
        EXPECT_EQ(rfc::ParseReply(a.event), a.reply);
    }
}

// What we asked for is answered by the peer's agreement and not again;
// what the peer asks for is agreed to once for our options and refused for
// all others; a refusal of our request is noted.
TEST(TelnetOptions, AgreeOnceRefuseTheRest) {
    Options o({kBinary, kComPortOption}, {kBinary});
    EXPECT_EQ(o.request(kWill, kComPortOption), Codec::Command(kWill, 44));
    EXPECT_EQ(o.request(kWill, kComPortOption), Bytes{}); // asked already
    EXPECT_EQ(o.request(kDo, kBinary), Codec::Command(kDo, kBinary));
    const struct {
        Kind kind;
        std::uint8_t option;
        Bytes answer;
    } steps[] = {
        {Kind::Do, kComPortOption, {}}, // answers our WILL
        {Kind::Do, kComPortOption, {}}, // in force: no answer
        {Kind::Will, kBinary, {}},
        {Kind::Do, kBinary, Codec::Command(kWill, kBinary)}, // asked by the peer
        {Kind::Do, kEcho, Codec::Command(kWont, kEcho)},
        {Kind::Will, kEcho, Codec::Command(kDont, kEcho)},
        {Kind::Will, kComPortOption, Codec::Command(kDont, 44)}, // ours only
        {Kind::Dont, kEcho, {}},
        {Kind::Wont, kEcho, {}},
        {Kind::Wont, kBinary, Codec::Command(kDont, kBinary)}, // switched off
        {Kind::Wont, kBinary, {}},
        {Kind::Command, 241, {}},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(o.answer({s.kind, s.option, {}}), s.answer) << int(s.option);
    }
    EXPECT_TRUE(o.ours(kComPortOption) && o.ours(kBinary) && !o.theirs(kBinary));
    EXPECT_FALSE(o.refused(kComPortOption) || o.ours(kEcho) || o.theirs(kEcho));
    Options refusing({kComPortOption}, {});
    refusing.request(kWill, kComPortOption);
    EXPECT_EQ(refusing.answer({Kind::Dont, kComPortOption, {}}), Bytes{});
    EXPECT_TRUE(refusing.refused(kComPortOption) && !refusing.ours(kComPortOption));
}

TEST(PortAddress, ParsedOrRefusedWithAReason) {
    const struct {
        const char* text;
        const char* reason; // empty: taken
        PortAddress::Kind kind = PortAddress::Kind::Socket;
        const char* host = "";
        int port = 0;
        bool ignoreSetControl = false;
        double timeout = 3.0;
    } cases[] = {
        {"socket://127.0.0.1:7001", "", PortAddress::Kind::Socket, "127.0.0.1", 7001},
        {"rfc2217://box.lan:1", "", PortAddress::Kind::Rfc2217, "box.lan", 1},
        {"rfc2217://[::1]:65535?ign_set_control&timeout=0.5&poll_modem&logging=debug", "",
         PortAddress::Kind::Rfc2217, "::1", 65535, true, 0.5},
        {"rfc2217://h:2?timeout=3600", "", PortAddress::Kind::Rfc2217, "h", 2, false, 3600},
        {"socket://h:2?logging=info", "", PortAddress::Kind::Socket, "h", 2},
        {"rfc2217://h:0", "from 1 to 65535, not '0'"},
        {"rfc2217://h:65536", "not '65536'"},
        {"rfc2217://h:12x", "not '12x'"},
        {"rfc2217://h:", "not ''"},
        {"rfc2217://h", "expected HOST:PORT"},
        {"rfc2217://:7000", "no host name"},
        {"rfc2217://a:b:7000", "no host name"},
        {"rfc2217://[::1]7000", "expected [ADDRESS]:PORT"},
        {"telnet://h:23", "unknown kind of port 'telnet'"},
        {"rfc2217://h:1?baudrate=9600", "unknown option 'baudrate'"},
        {"rfc2217://h:1?ign_set_control=1", "takes no value"},
        {"rfc2217://h:1?timeout=0", "not '0'"},
        {"rfc2217://h:1?timeout=3600.5", "not '3600.5'"},
        {"rfc2217://h:1?timeout=", "not ''"},
        {"rfc2217://h:1?logging=loud", "not 'loud'"},
        {"rfc2217://h:1?", "unknown option ''"},
        {"socket://h:1?ign_set_control", "unknown option 'ign_set_control'"},
        {"/dev/ttyUSB0", "is no network address"},
    };
    for (const auto& c : cases) {
        std::string reason;
        const auto a = ParsePortAddress(c.text, &reason);
        EXPECT_EQ(a.has_value(), *c.reason == '\0') << c.text;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.text << ": " << reason;
        if (a) {
            EXPECT_EQ(
                std::tuple(a->kind, a->host, a->port, a->ignoreSetControl, a->timeout),
                std::tuple(c.kind, std::string(c.host), c.port, c.ignoreSetControl, c.timeout))
                << c.text;
        }
    }
}

// --port takes an address as a device; a malformed one ends the program
// with the reason before anything opens.
TEST(PortAddress, CommandLineTakesAddresses) {
    const struct {
        std::string mapping;
        int rc;
    } cases[] = {{"3=rfc2217://127.0.0.1:7000?ign_set_control", -1},
                 {"3=socket://h:1", -1},
                 {"3=rfc2217://h:1?bogus", 2},
                 {"3=socket://h", 2}};
    for (const auto& c : cases) {
        std::string program = "korven-darir", flag = "--port", mapping = c.mapping;
        char* argv[] = {program.data(), flag.data(), mapping.data()};
        korven::program::Options options;
        EXPECT_EQ(korven::program::ParseArguments(3, argv, options), c.rc) << c.mapping;
        EXPECT_EQ(options.ports.count(3), c.rc == -1 ? 1u : 0u) << c.mapping;
    }
}

} // namespace
