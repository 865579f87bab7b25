#include "runtime/port_address.h"

#include <charconv>
#include <cstdlib>

namespace korven::rt {

namespace {

struct Scheme {
    std::string_view name;
    PortAddress::Kind kind;
    bool lineOptions; // takes rfc2217's options, not only logging
};
constexpr Scheme kSchemes[] = {{"socket", PortAddress::Kind::Socket, false},
                               {"rfc2217", PortAddress::Kind::Rfc2217, true}};

constexpr std::string_view kSeparator = "://";
constexpr double kMaxTimeout = 3600.0;

std::string Quoted(std::string_view s) {
    return "'" + std::string(s) + "'";
}

bool Fail(std::string* reason, std::string text) {
    *reason = std::move(text);
    return false;
}

// One name[=value] of the query.
bool TakeOption(std::string_view item, bool lineOptions, PortAddress& a, std::string* reason) {
    const auto eq = item.find('=');
    const std::string_view name = item.substr(0, eq);
    const bool hasValue = eq != std::string_view::npos;
    const std::string_view value = hasValue ? item.substr(eq + 1) : std::string_view{};
    if (name == "logging") {
        for (std::string_view level : {"debug", "info", "warning", "error"}) {
            if (value == level) {
                a.logging = value;
                return true;
            }
        }
        return Fail(reason, "logging must be debug, info, warning or error, not " + Quoted(value));
    }
    if (lineOptions && (name == "ign_set_control" || name == "poll_modem")) {
        if (hasValue) {
            return Fail(reason, "option " + Quoted(name) + " takes no value");
        }
        (name == "poll_modem" ? a.pollModem : a.ignoreSetControl) = true;
        return true;
    }
    if (lineOptions && name == "timeout") {
        const std::string text(value);
        char* end = nullptr;
        const double seconds = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(seconds > 0.0 && seconds <= kMaxTimeout)) {
            return Fail(reason,
                        "timeout must be seconds above 0 and at most 3600, not " + Quoted(value));
        }
        a.timeout = seconds;
        return true;
    }
    return Fail(reason, "unknown option " + Quoted(name));
}

} // namespace

bool IsPortAddress(std::string_view text) {
    const auto at = text.find(kSeparator);
    if (at == std::string_view::npos || at == 0) {
        return false;
    }
    for (char c : text.substr(0, at)) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '+' || c == '-' || c == '.')) {
            return false;
        }
    }
    return true;
}

std::optional<PortAddress> ParsePortAddress(std::string_view text, std::string* reason) {
    std::string ignored;
    reason = reason ? reason : &ignored;
    if (!IsPortAddress(text)) {
        Fail(reason, Quoted(text) + " is no network address (socket://HOST:PORT or "
                                    "rfc2217://HOST:PORT)");
        return std::nullopt;
    }
    const auto at = text.find(kSeparator);
    const std::string_view scheme = text.substr(0, at);
    const Scheme* known = nullptr;
    for (const Scheme& s : kSchemes) {
        known = s.name == scheme ? &s : known;
    }
    if (!known) {
        Fail(reason, "unknown kind of port " + Quoted(scheme) + " (socket or rfc2217)");
        return std::nullopt;
    }
    PortAddress a;
    a.kind = known->kind;
    std::string_view rest = text.substr(at + kSeparator.size());
    const auto query = rest.find('?');
    const std::string_view where = rest.substr(0, query);
    // HOST:PORT, or [IPV6]:PORT.
    std::string_view host, port;
    if (where.starts_with('[')) {
        const auto close = where.find(']');
        if (close == std::string_view::npos || where.substr(close + 1, 1) != ":") {
            Fail(reason, "expected [ADDRESS]:PORT after " + std::string(scheme) + "://");
            return std::nullopt;
        }
        host = where.substr(1, close - 1);
        port = where.substr(close + 2);
    } else {
        const auto colon = where.rfind(':');
        if (colon == std::string_view::npos) {
            Fail(reason, "expected HOST:PORT after " + std::string(scheme) + "://");
            return std::nullopt;
        }
        host = where.substr(0, colon);
        port = where.substr(colon + 1);
    }
    if (host.empty() || host.find_first_of("/@ \t") != std::string_view::npos ||
        (!where.starts_with('[') && host.find(':') != std::string_view::npos)) {
        Fail(reason, "no host name in " + Quoted(text));
        return std::nullopt;
    }
    int number = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || ec != std::errc{} || end != port.data() + port.size() || number < 1 ||
        number > 65535) {
        Fail(reason, "the TCP port must be a number from 1 to 65535, not " + Quoted(port));
        return std::nullopt;
    }
    a.host = host;
    a.port = number;
    if (query != std::string_view::npos) {
        std::string_view options = rest.substr(query + 1);
        while (true) {
            const auto amp = options.find('&');
            if (!TakeOption(options.substr(0, amp), known->lineOptions, a, reason)) {
                return std::nullopt;
            }
            if (amp == std::string_view::npos) {
                break;
            }
            options = options.substr(amp + 1);
        }
    }
    reason->clear();
    return a;
}

} // namespace korven::rt
