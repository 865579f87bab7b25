// Internal to the headless back end: the state behind HeadlessBackend and
// the helpers and constants its source files share.
#pragma once

#include "runtime/headless/headless.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace korven::rt::headless {

namespace detail {

// Error codes of the user-interface calls.
constexpr int kUiBadPanel = -42;
constexpr int kUiBadControlKind = -44;
constexpr int kUiBadArgument = -45;

constexpr int kDefaultQueueSize = 512;
constexpr double kDefaultComTimeout = 2.0;
constexpr int kFirstRuntimeControlId = 1000;

void StoreValue(ControlState& c, const Value& v);

ControlState* Find(HeadlessBackend::Impl& impl, int handle, int control, int& rc);

} // namespace detail

// ---- Serial port state ------------------------------------------------------

struct HeadlessBackend::Impl {
    struct Port;

    class Link : public PeerLink {
      public:
        Link(HeadlessBackend& owner, int port) : owner_(owner), port_(port) {}
        double now() const override { return owner_.now_; }
        double byteTime() const override { return owner_.options_.byteTime; }
        void send(double startTime, std::span<const std::uint8_t> bytes) override {
            owner_.injectToHost(port_, startTime, bytes);
        }

      private:
        HeadlessBackend& owner_;
        int port_;
    };

    struct Timed {
        double time;
        std::uint8_t byte;
    };

    struct Port {
        Port(HeadlessBackend& owner, int number) : link(owner, number) {}
        Link link;
        SerialPeer* peer = nullptr;
        int openError = 0;
        bool open = false;
        ComSettings settings;
        double timeout = detail::kDefaultComTimeout;
        int ctsMode = 0;
        // host -> peer: bytes with the time they have fully arrived
        std::deque<Timed> toPeer;
        double outLineFree = 0.0;
        // peer -> host
        std::deque<Timed> toHost;
        double inLineFree = 0.0;
        std::deque<std::uint8_t> inQ;
        // receive notification
        int mask = 0;
        int notifyCount = 1;
        int eventChar = 0;
        ComCallbackPtr fn = nullptr;
        void* data = nullptr;
        bool running = false;
        bool newBytes = false; // bytes arrived since the last LWRS_RECEIVE
        bool charSeen = false; // event character arrived
        bool txEmpty = false;  // output queue ran empty
        int receiveCalls = 0;
        std::vector<NotificationCall> calls;
        std::vector<HostWrite> writes;
        int opens = 0, closes = 0;

        std::size_t inCapacity() const {
            return static_cast<std::size_t>(
                settings.inputQueueSize > 0 ? settings.inputQueueSize : detail::kDefaultQueueSize);
        }
        std::size_t outCapacity() const {
            return static_cast<std::size_t>(settings.outputQueueSize > 0
                                                ? settings.outputQueueSize
                                                : detail::kDefaultQueueSize);
        }
        void clearLine() {
            toPeer.clear();
            toHost.clear();
            inQ.clear();
            newBytes = charSeen = txEmpty = false;
        }
    };

    struct Scheduled {
        double time;
        std::uint64_t seq;
        std::function<void()> action;
    };

    std::map<int, std::unique_ptr<Port>> ports;
    std::map<int, PanelState> panels;
    int nextPanel = 1;
    int nextControlId = detail::kFirstRuntimeControlId;
    int createCounter = 0;
    std::map<std::string, std::shared_ptr<const Layout>> layouts;
    std::vector<Scheduled> schedule;
    std::uint64_t seq = 0;
    std::deque<FileDialogResult> dialogResults;
};

namespace detail {
using Port = HeadlessBackend::Impl::Port;
} // namespace detail

} // namespace korven::rt::headless
