#include "runtime/rfc2217.h"

#include <utility>

namespace korven::rt::telnet {

void Codec::receive(const std::uint8_t* bytes, std::size_t size, Bytes& data,
                    std::vector<Event>& events) {
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t b = bytes[i];
        switch (state_) {
        case State::Data:
            if (b == kIac) {
                state_ = State::Iac;
            } else {
                data.push_back(b);
            }
            break;
        case State::Iac:
            if (b == kIac) { // a doubled 0xFF is one data byte
                data.push_back(b);
                state_ = State::Data;
            } else if (b >= kWill && b <= kDont) {
                verb_ = b;
                state_ = State::Verb;
            } else if (b == kSb) {
                sub_.clear();
                subTooLong_ = false;
                state_ = State::Sub;
            } else {
                events.push_back({Event::Kind::Command, b, {}});
                state_ = State::Data;
            }
            break;
        case State::Verb: {
            static constexpr Event::Kind kKinds[] = {Event::Kind::Will, Event::Kind::Wont,
                                                     Event::Kind::Do, Event::Kind::Dont};
            events.push_back({kKinds[verb_ - kWill], b, {}});
            state_ = State::Data;
            break;
        }
        case State::Sub:
            if (b == kIac) {
                state_ = State::SubIac;
            } else if (sub_.size() < kMaxSubnegotiation) {
                sub_.push_back(b);
            } else {
                subTooLong_ = true;
            }
            break;
        case State::SubIac:
            if (b == kIac) {
                state_ = State::Sub;
                if (sub_.size() < kMaxSubnegotiation) {
                    sub_.push_back(b);
                } else {
                    subTooLong_ = true;
                }
                break;
            }
            // IAC SE ends it; any other command inside is a broken one,
            // which ends it too rather than swallowing the data after it.
            if (b == kSe && !sub_.empty() && !subTooLong_) {
                Event e{Event::Kind::Subnegotiation, sub_.front(), {}};
                e.payload.assign(sub_.begin() + 1, sub_.end());
                events.push_back(std::move(e));
            }
            sub_.clear();
            state_ = State::Data;
            break;
        }
    }
}

void Codec::Escape(const std::uint8_t* bytes, std::size_t size, Bytes& out) {
    out.reserve(out.size() + size);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == kIac) {
            out.push_back(kIac);
        }
    }
}

Bytes Codec::Command(std::uint8_t verb, std::uint8_t option) {
    return {kIac, verb, option};
}

Bytes Codec::Subnegotiation(std::uint8_t option, const Bytes& payload) {
    Bytes out{kIac, kSb, option};
    Escape(payload.data(), payload.size(), out);
    out.insert(out.end(), {kIac, kSe});
    return out;
}

Options::Options(std::vector<std::uint8_t> ours, std::vector<std::uint8_t> theirs) {
    for (std::uint8_t o : ours) {
        state_[o].mayOurs = true;
    }
    for (std::uint8_t o : theirs) {
        state_[o].mayTheirs = true;
    }
}

Bytes Options::request(std::uint8_t verb, std::uint8_t option) {
    State& s = state_[option];
    if (verb == kWill && !s.ours && !s.askedOurs) {
        s.askedOurs = true;
        return Codec::Command(kWill, option);
    }
    if (verb == kDo && !s.theirs && !s.askedTheirs) {
        s.askedTheirs = true;
        return Codec::Command(kDo, option);
    }
    return {};
}

namespace {

// The peer's DO (an option of ours) or WILL (one of its own): agreed to
// once when allowed, refused otherwise. A request that answers ours needs
// no answer.
Bytes Agree(bool may, bool& enabled, bool& asked, std::uint8_t yes, std::uint8_t no,
            std::uint8_t option) {
    if (!may) {
        return Codec::Command(no, option);
    }
    if (enabled) {
        return {};
    }
    enabled = true;
    return std::exchange(asked, false) ? Bytes{} : Codec::Command(yes, option);
}

// The peer's DONT or WONT: an option in force is switched off and that
// confirmed; one we asked for is refused.
Bytes Disagree(bool& enabled, bool& asked, bool& refused, std::uint8_t no, std::uint8_t option) {
    refused = std::exchange(asked, false) || refused;
    return std::exchange(enabled, false) ? Codec::Command(no, option) : Bytes{};
}

} // namespace

Bytes Options::answer(const Event& event) {
    State& s = state_[event.code];
    switch (event.kind) {
    case Event::Kind::Do:
        return Agree(s.mayOurs, s.ours, s.askedOurs, kWill, kWont, event.code);
    case Event::Kind::Will:
        return Agree(s.mayTheirs, s.theirs, s.askedTheirs, kDo, kDont, event.code);
    case Event::Kind::Dont:
        return Disagree(s.ours, s.askedOurs, s.refused, kWont, event.code);
    case Event::Kind::Wont:
        return Disagree(s.theirs, s.askedTheirs, s.refused, kDont, event.code);
    default:
        return {};
    }
}

} // namespace korven::rt::telnet

namespace korven::rt::rfc2217 {

telnet::Bytes Request(std::uint8_t code, std::uint32_t value) {
    telnet::Bytes payload{code};
    if (code == kSetBaudrate) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            payload.push_back(static_cast<std::uint8_t>(value >> shift));
        }
    } else {
        payload.push_back(static_cast<std::uint8_t>(value));
    }
    return telnet::Codec::Subnegotiation(telnet::kComPortOption, payload);
}

std::optional<Reply> ParseReply(const telnet::Event& event) {
    if (event.kind != telnet::Event::Kind::Subnegotiation || event.code != telnet::kComPortOption ||
        event.payload.empty() || event.payload[0] <= kServerOffset) {
        return std::nullopt;
    }
    Reply r;
    r.code = static_cast<std::uint8_t>(event.payload[0] - kServerOffset);
    const std::size_t width = r.code == kSetBaudrate ? 4 : 1;
    if (event.payload.size() != 1 + width) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i <= width; ++i) {
        r.value = (r.value << 8) | event.payload[i];
    }
    return r;
}

std::string_view RequestName(std::uint8_t code) {
    switch (code) {
    case kSetBaudrate:
        return "baud rate";
    case kSetDatasize:
        return "data bits";
    case kSetParity:
        return "parity";
    case kSetStopsize:
        return "stop bits";
    case kSetControl:
        return "flow control";
    case kPurgeData:
        return "purge";
    default:
        return "setting";
    }
}

} // namespace korven::rt::rfc2217
