// Value conversions and the slot that holds the installed back end.
#include "runtime/backend.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace korven::rt {

double Value::asDouble() const {
    switch (kind) {
    case Kind::Int:
        return static_cast<double>(i);
    case Kind::Double:
        return d;
    case Kind::Text:
        break;
    }
    return 0.0;
}

std::int64_t Value::asInt() const {
    switch (kind) {
    case Kind::Int:
        return i;
    case Kind::Double: {
        if (std::isnan(d)) {
            return 0;
        }
        // 2^63 is exactly representable; anything at or beyond it saturates.
        constexpr double kLimit = 9223372036854775808.0;
        if (d >= kLimit) {
            return std::numeric_limits<std::int64_t>::max();
        }
        if (d <= -kLimit) {
            return std::numeric_limits<std::int64_t>::min();
        }
        return static_cast<std::int64_t>(d); // truncates toward zero
    }
    case Kind::Text:
        break;
    }
    return 0;
}

std::string Value::asText() const {
    switch (kind) {
    case Kind::Int:
        return std::to_string(i);
    case Kind::Double: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", d);
        return buf;
    }
    case Kind::Text:
        return s;
    }
    return {};
}

namespace {
Backend* gBackend = nullptr;
}

Backend* SetBackend(Backend* backend) {
    Backend* previous = gBackend;
    gBackend = backend;
    return previous;
}

Backend* CurrentBackend() {
    return gBackend;
}

} // namespace korven::rt
