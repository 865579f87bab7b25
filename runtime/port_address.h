// Serial lines reached over the network, named by an address in place of a
// device: socket://HOST:PORT (the line's bytes on a TCP connection as they
// are) and rfc2217://HOST:PORT[?OPTIONS] (Telnet with the COM-PORT-OPTION,
// which also sets the line). The options are named as pyserial names them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korven::rt {

struct PortAddress {
    enum class Kind { Socket, Rfc2217 };
    Kind kind = Kind::Socket;
    std::string host;
    int port = 0;
    // rfc2217 only: do not wait for the answers to SET-CONTROL (some
    // servers never give them), the time-out of connecting and of each
    // answer, seconds.
    bool ignoreSetControl = false;
    double timeout = 3.0;
    // Accepted for pyserial's addresses; this program asks no modem state
    // and logs nothing of the negotiation.
    bool pollModem = false;
    std::string logging;
};

// Whether `text` is meant as a network address ("scheme://..."), well
// formed or not; anything else is a device.
bool IsPortAddress(std::string_view text);

// The address, or nothing with the reason in *reason.
std::optional<PortAddress> ParsePortAddress(std::string_view text, std::string* reason);

} // namespace korven::rt
