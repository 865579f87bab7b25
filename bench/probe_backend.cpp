#include "bench/probe_backend.h"

#include "bench/bench_common.h"

namespace korven::bench {

namespace {
ProbeBackend* g_probe = nullptr; // the notification trampoline's owner
} // namespace

ProbeBackend::ProbeBackend(rt::Backend& inner) : inner_(inner) {
    g_probe = this;
}

ProbeBackend::~ProbeBackend() {
    if (g_probe == this) {
        g_probe = nullptr;
    }
}

long ProbeBackend::framesWritten(int command) const {
    const auto it = frames_.find(command);
    return it == frames_.end() ? 0 : it->second;
}

int ProbeBackend::displayPanel(int panel) {
    const int rc = inner_.displayPanel(panel);
    if (onDisplay) {
        onDisplay(panel);
    }
    return rc;
}

int ProbeBackend::setCtrlVal(int panel, int control, const rt::Value& value) {
    const int rc = inner_.setCtrlVal(panel, control, value);
    if (onText && value.kind == rt::Value::Kind::Text) {
        onText(panel, control, value.s);
    }
    return rc;
}

int ProbeBackend::openCom(int port, const rt::ComSettings& settings) {
    if (onOpen) {
        onOpen(port);
    }
    return inner_.openCom(port, settings);
}

int ProbeBackend::installComCallback(int port, int eventMask, int notifyCount, int eventChar,
                                     ComCallbackPtr fn, void* data) {
    callbacks_[port] = fn;
    return inner_.installComCallback(port, eventMask, notifyCount, eventChar,
                                     fn != nullptr ? &ProbeBackend::Notification : nullptr, data);
}

void ProbeBackend::Notification(int port, int eventMask, void* data) {
    ProbeBackend* self = g_probe;
    if (self == nullptr) {
        return;
    }
    if (eventMask & LWRS_RECEIVE) {
        ++self->notifications_;
        if (self->keepStamps_) {
            self->answerStamps_.push_back(MonotonicNow());
        }
    }
    const auto it = self->callbacks_.find(port);
    if (it != self->callbacks_.end() && it->second != nullptr) {
        it->second(port, eventMask, data);
    }
}

void ProbeBackend::watchControl(int panel, int control, CtrlCallbackPtr callback) {
    watched_[{panel, control}] = callback;
    inner_.installCtrlCallback(panel, control, &ProbeBackend::ControlEvent, nullptr);
}

int ProbeBackend::ControlEvent(int panel, int control, int event, void* data, int eventData1,
                               int eventData2) {
    ProbeBackend* self = g_probe;
    if (self == nullptr) {
        return 0;
    }
    if (self->onCtrlEvent) {
        self->onCtrlEvent(panel, control, event);
    }
    const auto it = self->watched_.find({panel, control});
    return it != self->watched_.end() && it->second != nullptr
               ? it->second(panel, control, event, data, eventData1, eventData2)
               : 0;
}

int ProbeBackend::comRd(int port, std::span<std::uint8_t> buffer) {
    const LinePhase was = phase_.load(std::memory_order_relaxed);
    phase_.store(was == LinePhase::Block ? LinePhase::AfterBlock : LinePhase::Other,
                 std::memory_order_relaxed);
    return inner_.comRd(port, buffer);
}

int ProbeBackend::comWrt(int port, std::span<const std::uint8_t> bytes) {
    const int rc = inner_.comWrt(port, bytes);
    if (bytes.size() == 36) {
        const int command = (bytes[2] << 8) | bytes[3];
        ++frames_[command];
        // Firmware text (7), 64- and 256-sample blocks (9, 11) come as raw
        // blocks; everything else as an answer frame.
        const bool block = command == 7 || command == 9 || command == 11;
        phase_.store(block ? LinePhase::Block : LinePhase::Answer, std::memory_order_relaxed);
        if (keepStamps_ && command == 8) {
            runFrameStamps_.push_back(MonotonicNow());
        }
        if (onFrame) {
            onFrame(command);
        }
    }
    return rc;
}

} // namespace korven::bench
