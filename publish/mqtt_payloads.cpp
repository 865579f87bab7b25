#include "publish/mqtt_payloads.h"

#include "analysis/recording.h"

#include <cctype>
#include <cstdio>

namespace korven::publish {

// ---- Broker address -----------------------------------------------------------

std::string ParseBrokerUrl(std::string_view url, BrokerAddress& out) {
    BrokerAddress a;
    std::string_view rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        a.port = kDefaultPort;
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        a.tls = true;
        a.port = kDefaultTlsPort;
    } else {
        return "the broker address must start with mqtt:// or mqtts://";
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.remove_suffix(1);
    }
    std::string_view portText;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos) {
            return "the broker address has no ']' after its IPv6 address";
        }
        a.host = std::string(rest.substr(1, close - 1));
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                return "the broker address has text after its IPv6 address";
            }
            portText = after.substr(1);
            if (portText.empty()) {
                return "the broker address has no port after ':'";
            }
        }
    } else {
        const auto colon = rest.find(':');
        a.host = std::string(rest.substr(0, colon));
        if (colon != std::string_view::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) {
                return "the broker address has no port after ':'";
            }
        }
    }
    if (a.host.empty()) {
        return "the broker address has no host";
    }
    for (const char c : a.host) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || c == '/' || c == '@' || c == '?' || c == '#') {
            return "the broker's host name holds '" + std::string(1, c) + "'";
        }
    }
    if (!portText.empty()) {
        long port = 0;
        for (const char c : portText) {
            if (!std::isdigit(static_cast<unsigned char>(c)) || port > 65535) {
                return "the broker's port must be a number from 1 to 65535";
            }
            port = port * 10 + (c - '0');
        }
        if (port < 1 || port > 65535) {
            return "the broker's port must be a number from 1 to 65535";
        }
        a.port = static_cast<int>(port);
    }
    out = a;
    return {};
}

// ---- Topics ----------------------------------------------------------------------

std::string TopicLevel(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        const bool keep = u < 0x80 && (std::isalnum(u) || c == '_' || c == '.' || c == '-');
        if (keep && c != '-') {
            out += c;
        } else if (!out.empty() && out.back() != '-') {
            out += '-';
        }
    }
    if (out.size() > kMaxLevel) {
        out.resize(kMaxLevel);
    }
    while (!out.empty() && out.back() == '-') {
        out.pop_back();
    }
    return out.empty() ? "unnamed" : out;
}

std::string TopicPrefix(std::string_view text) {
    std::string out;
    while (!text.empty()) {
        const auto slash = text.find('/');
        const std::string_view part = text.substr(0, slash);
        text = slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
        const std::string level = TopicLevel(part);
        if (level != "unnamed" || part == "unnamed") {
            out += (out.empty() ? "" : "/") + level;
        }
    }
    return out.empty() ? kDefaultPrefix : out;
}

std::string SensorLevel(unsigned board, unsigned firmware, std::string_view portName) {
    if (board == 0) {
        return TopicLevel(portName);
    }
    std::string out = "pcb" + std::to_string(board);
    if (firmware != 0) {
        out += "-fw" + std::to_string(firmware);
    }
    return out;
}

Topics MakeTopics(std::string_view prefix, std::string_view station, std::string_view sensor) {
    return {TopicPrefix(prefix) + "/" + TopicLevel(station) + "/" + TopicLevel(sensor)};
}

// ---- Payloads --------------------------------------------------------------------

const char* const kStateSchema = "korven-darir-mqtt-state/1";
const char* const kIdentitySchema = "korven-darir-mqtt-identity/1";
const char* const kParametersSchema = "korven-darir-mqtt-parameters/1";
const char* const kCalibrationSchema = "korven-darir-mqtt-calibration/1";

namespace {

std::string Head(const char* schema, std::int64_t wallMs) {
    return "{\"schema\":" + analysis::JsonText(schema) +
           ",\"local_time\":" + analysis::JsonText(analysis::LocalTimeText(wallMs));
}

std::string Number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    // JSON has no NaN or infinity.
    const std::string s = buf;
    return s.find_first_of("ni") == std::string::npos ? s : "null";
}

} // namespace

const char* StateName(State s) {
    switch (s) {
    case State::Connected:
        return "connected";
    case State::Running:
        return "running";
    case State::LineDisturbed:
        return "line disturbed";
    case State::Offline:
        return "offline";
    }
    return "offline";
}

std::string StatePayload(State s, const Counts& c, std::int64_t wallMs) {
    return Head(kStateSchema, wallMs) + ",\"state\":" + analysis::JsonText(StateName(s)) +
           ",\"sent\":" + std::to_string(c.sent) + ",\"lost\":" + std::to_string(c.lost) +
           ",\"queued\":" + std::to_string(c.queued) + "}";
}

std::string WillPayload() {
    return "{\"schema\":" + analysis::JsonText(kStateSchema) + ",\"state\":\"offline\"}";
}

std::string IdentityPayload(const Identity& id, std::int64_t wallMs) {
    return Head(kIdentitySchema, wallMs) + ",\"port\":" + analysis::JsonText(id.port) +
           ",\"pcb_type\":" + std::to_string(id.board) + ",\"ccd_type\":" + std::to_string(id.ccd) +
           ",\"pixels\":" + std::to_string(id.pixels) +
           ",\"resolution\":" + std::to_string(id.resolution) +
           ",\"subpixels\":" + std::to_string(id.subpixels) +
           ",\"firmware_version\":" + std::to_string(id.firmwareVersion) +
           ",\"firmware\":" + analysis::JsonText(id.firmware) +
           ",\"program\":" + analysis::JsonText(id.program) + "}";
}

std::string ParametersPayload(const char* memory, bool written, bool confirmed,
                              const analysis::ParameterWords& words, std::int64_t wallMs) {
    std::string out = Head(kParametersSchema, wallMs) +
                      ",\"memory\":" + analysis::JsonText(memory) + ",\"event\":\"" +
                      (written ? "write" : "read") +
                      "\",\"confirmed\":" + (confirmed ? "true" : "false") + ",\"words\":{";
    for (int k = 0; k < analysis::kParameterWords; ++k) {
        out += (k ? ",\"" : "\"") + std::string(analysis::kParameterKeys[k]) +
               "\":" + std::to_string(words[static_cast<std::size_t>(k)]);
    }
    return out + "}}";
}

std::string CalibrationPayload(const Calibration& c, std::int64_t wallMs) {
    std::string out = Head(kCalibrationSchema, wallMs) + ",\"points\":[";
    for (int i = 0; i < 2; ++i) {
        out += std::string(i ? "," : "") + "{\"raw_subpx\":" + Number(c.raw[i]) +
               ",\"um\":" + Number(c.um[i]) + "}";
    }
    return out + "],\"slope\":" + Number(c.slope) + ",\"offset\":" + Number(c.offset) +
           ",\"slope_word\":" + std::to_string(c.slopeWord) +
           ",\"intercept_word\":" + std::to_string(c.interceptWord) + "}";
}

// ---- Queue and batching ------------------------------------------------------------

bool BoundedQueue::push(Message m) {
    if (items_.size() >= capacity_) {
        ++refused_;
        return false;
    }
    items_.push_back(std::move(m));
    return true;
}

std::optional<Message> BoundedQueue::pop() {
    if (items_.empty()) {
        return std::nullopt;
    }
    Message m = std::move(items_.front());
    items_.pop_front();
    return m;
}

std::optional<std::string> Batcher::add(std::string_view row, double now) {
    if (perSecond_ == 0) {
        return std::string(row);
    }
    rows_.emplace_back(row);
    // A microsecond's grace, so that answers timed exactly 1/N apart are
    // not kept back by the rounding of the clock's sums.
    if (lastSent_ && now - *lastSent_ < 1.0 / perSecond_ - 1e-6) {
        return std::nullopt;
    }
    lastSent_ = now;
    return flush();
}

std::optional<std::string> Batcher::flush() {
    if (rows_.empty()) {
        return std::nullopt;
    }
    std::string out = "[";
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        out += (i ? "," : "") + rows_[i];
    }
    rows_.clear();
    return out + "]";
}

} // namespace korven::publish
