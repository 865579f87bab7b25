#include "publish/mqtt_publisher.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#if defined(KORVEN_HAVE_MOSQUITTO)
#include <mosquitto.h>
#endif

namespace korven::publish {

#if defined(KORVEN_HAVE_MOSQUITTO)

namespace {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// CONNACK codes of MQTT 3.1.1 for a refused login: bad user name or
// password, not authorised.
constexpr int kConnackBadLogin = 4;
constexpr int kConnackNotAuthorised = 5;

// Messages taken from the queue at a time, so that the queue's lock is
// never held for long.
constexpr std::size_t kDrainBatch = 256;

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

} // namespace

bool MqttSupported() {
    return true;
}

bool MqttTlsSupported() {
#if defined(KORVEN_MQTT_NO_TLS)
    return false;
#else
    return true;
#endif
}

struct Publisher::Impl {
    PublisherSettings s;
    StatusFunction status;

    mutable std::mutex m;
    std::condition_variable cv;
    BoundedQueue queue;
    std::map<std::string, std::string> retained;
    std::set<std::string> dirty;
    bool stopping = false;
    bool connected = false;
    bool gaveUp = false;
    bool disconnectSeen = false;
    bool overflowTold = false;
    std::uint64_t handed = 0; // messages libmosquitto took
    std::uint64_t lostInFlight = 0;
    std::uint64_t lostOther = 0;
    std::atomic<std::uint64_t> written{0}; // messages libmosquitto sent
    std::string lastStatus;

    mosquitto* mosq = nullptr;
    bool loopStarted = false;
    std::thread worker;

    Impl(PublisherSettings settings, StatusFunction fn)
        : s(std::move(settings)), status(std::move(fn)), queue(s.queueCapacity) {}

    // The operator is told each text once, not again while nothing changed.
    void tell(const std::string& text) {
        {
            const std::lock_guard lock(m);
            if (text == lastStatus) {
                return;
            }
            lastStatus = text;
        }
        if (status) {
            status(text);
        }
    }

    void giveUp(const std::string& text) {
        {
            const std::lock_guard lock(m);
            gaveUp = true;
            lostOther += queue.size();
            while (queue.pop()) {
            }
        }
        tell(text);
    }

    // ---- libmosquitto's callbacks (its network thread) ----
    static void OnConnect(mosquitto* mosq, void* self, int rc) {
        auto* p = static_cast<Impl*>(self);
        if (rc == 0) {
            {
                const std::lock_guard lock(p->m);
                p->connected = true;
                for (const auto& [topic, payload] : p->retained) {
                    p->dirty.insert(topic);
                }
            }
            p->cv.notify_all();
            p->tell("MQTT: connected to " + p->s.broker.text());
            return;
        }
        // A refused login stays refused: no reconnecting with it.
        mosquitto_disconnect(mosq);
        if (rc == kConnackBadLogin || rc == kConnackNotAuthorised) {
            p->giveUp("MQTT: broker " + p->s.broker.text() +
                      " refused the user name or password; not publishing");
        } else {
            p->giveUp("MQTT: broker " + p->s.broker.text() +
                      " refused the connection: " + mosquitto_connack_string(rc));
        }
    }

    static void OnDisconnect(mosquitto* /*mosq*/, void* self, int rc) {
        auto* p = static_cast<Impl*>(self);
        bool tellLost = false;
        {
            const std::lock_guard lock(p->m);
            p->connected = false;
            p->disconnectSeen = true;
            tellLost = rc != 0 && !p->stopping && !p->gaveUp;
        }
        p->cv.notify_all();
        if (tellLost) {
            p->tell("MQTT: connection to " + p->s.broker.text() + " lost (" +
                    mosquitto_strerror(rc) + "); reconnecting");
        }
    }

    static void OnPublish(mosquitto* /*mosq*/, void* self, int /*mid*/) {
        static_cast<Impl*>(self)->written.fetch_add(1);
    }

    // ---- the publisher's thread ----

    // Messages handed over but not sent when the connection went are lost.
    void countInFlightLost() {
        const std::uint64_t done = written.load() + lostInFlight;
        if (handed > done) {
            lostInFlight += handed - done;
        }
    }

    // Called without the lock.
    bool send(const std::string& topic, const std::string& payload, int qos, bool retain) {
        const int rc =
            mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), qos, retain);
        const std::lock_guard lock(m);
        if (rc == MOSQ_ERR_SUCCESS) {
            ++handed;
            return true;
        }
        return false;
    }

    // Publishes what is due while connected; returns with the lock held.
    void drainOnce(std::unique_lock<std::mutex>& lock) {
        std::vector<std::pair<std::string, std::string>> keep;
        for (const std::string& topic : dirty) {
            keep.emplace_back(topic, retained[topic]);
        }
        dirty.clear();
        std::vector<Message> batch;
        while (batch.size() < kDrainBatch) {
            auto next = queue.pop();
            if (!next) {
                break;
            }
            batch.push_back(std::move(*next));
        }
        lock.unlock();
        for (const auto& [topic, payload] : keep) {
            if (!send(topic, payload, 1, true)) {
                const std::lock_guard relock(m);
                dirty.insert(topic); // again after the reconnection
            }
        }
        for (const Message& msg : batch) {
            if (!send(msg.topic, msg.payload, msg.qos, false)) {
                const std::lock_guard relock(m);
                ++lostOther;
            }
        }
        lock.lock();
    }

    bool connect() {
        InitLibrary();
        mosq = mosquitto_new(s.clientId.empty() ? nullptr : s.clientId.c_str(), true, this);
        if (mosq == nullptr) {
            giveUp("MQTT: cannot make a client (out of memory?)");
            return false;
        }
        mosquitto_connect_callback_set(mosq, &OnConnect);
        mosquitto_disconnect_callback_set(mosq, &OnDisconnect);
        mosquitto_publish_callback_set(mosq, &OnPublish);
        mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        if (!s.user.empty()) {
            mosquitto_username_pw_set(mosq, s.user.c_str(), s.password.c_str());
        }
        const std::string will = WillPayload();
        mosquitto_will_set(mosq, s.topics.state().c_str(), static_cast<int>(will.size()),
                           will.data(), 1, true);
        if (s.broker.tls) {
            if (!MqttTlsSupported() ||
                mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1) != MOSQ_ERR_SUCCESS) {
                giveUp("MQTT: mqtts:// (TLS) is not supported in this build");
                return false;
            }
        }
        mosquitto_reconnect_delay_set(mosq, static_cast<unsigned>(s.reconnectMinSeconds),
                                      static_cast<unsigned>(s.reconnectMaxSeconds), true);
        tell("MQTT: connecting to " + s.broker.text() + " ...");
        // The first attempt is made here, on this thread (it may have to
        // look the host up); later ones by libmosquitto's network thread.
        int delay = s.reconnectMinSeconds;
        for (;;) {
            const int rc = mosquitto_connect_async(mosq, s.broker.host.c_str(), s.broker.port,
                                                   s.keepAliveSeconds);
            if (rc == MOSQ_ERR_SUCCESS) {
                break;
            }
            tell("MQTT: cannot reach " + s.broker.text() + " (" +
                 (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno))
                                       : std::string(mosquitto_strerror(rc))) +
                 "); trying again");
            std::unique_lock lock(m);
            if (cv.wait_for(lock, std::chrono::seconds(delay), [this] { return stopping; })) {
                return false;
            }
            delay = std::min(delay * 2, s.reconnectMaxSeconds);
        }
        loopStarted = mosquitto_loop_start(mosq) == MOSQ_ERR_SUCCESS;
        if (!loopStarted) {
            giveUp("MQTT: cannot start the network thread");
        }
        return loopStarted;
    }

    void run() {
        const bool started = connect();
        std::unique_lock lock(m);
        while (started) {
            cv.wait(lock, [this] {
                return stopping || disconnectSeen ||
                       (connected && (!dirty.empty() || queue.size() > 0));
            });
            if (disconnectSeen) {
                disconnectSeen = false;
                countInFlightLost();
            }
            if (stopping) {
                break;
            }
            if (connected) {
                drainOnce(lock);
            }
        }
        shutDown(lock);
    }

    // The rest of the queue while the broker takes it, then "offline" as
    // the retained state, then the disconnection.
    void shutDown(std::unique_lock<std::mutex>& lock) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(static_cast<int>(kShutdownWait * 1000));
        while (connected && (queue.size() > 0 || !dirty.empty()) &&
               std::chrono::steady_clock::now() < deadline) {
            drainOnce(lock);
        }
        lostOther += queue.size();
        while (queue.pop()) {
        }
        const bool online = connected && mosq != nullptr;
        lock.unlock();
        if (online) {
            // The counts the offline state tells include the message itself.
            Counts c = countsNow();
            ++c.sent;
            send(s.topics.state(), StatePayload(State::Offline, c, NowMs()), 1, true);
            while (written.load() < handed && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        if (mosq != nullptr) {
            mosquitto_disconnect(mosq);
            if (loopStarted) {
                mosquitto_loop_stop(mosq, false);
            }
            mosquitto_destroy(mosq);
            mosq = nullptr;
        }
        lock.lock();
    }

    Counts countsNow() const {
        const std::lock_guard lock(m);
        return countsLocked();
    }

    Counts countsLocked() const {
        Counts c;
        c.sent = written.load();
        c.lost = queue.refused() + lostOther + lostInFlight;
        c.queued = queue.size();
        c.connected = connected;
        return c;
    }
};

Publisher::Publisher(PublisherSettings settings, StatusFunction status)
    : impl_(std::make_unique<Impl>(std::move(settings), std::move(status))) {
    impl_->worker = std::thread([p = impl_.get()] { p->run(); });
}

Publisher::~Publisher() {
    {
        const std::lock_guard lock(impl_->m);
        impl_->stopping = true;
    }
    impl_->cv.notify_all();
    impl_->worker.join();
}

bool Publisher::publish(Message msg) {
    bool tellFull = false;
    {
        const std::lock_guard lock(impl_->m);
        if (impl_->gaveUp) {
            ++impl_->lostOther;
            return false;
        }
        if (!impl_->queue.push(std::move(msg))) {
            tellFull = !impl_->overflowTold;
            impl_->overflowTold = true;
        } else {
            impl_->overflowTold = false;
            impl_->cv.notify_one();
            return true;
        }
    }
    if (tellFull) {
        impl_->tell("MQTT: queue full (" + std::to_string(impl_->queue.capacity()) +
                    " messages), measurements are being lost");
    }
    return false;
}

void Publisher::retain(const std::string& topic, std::string payload) {
    {
        const std::lock_guard lock(impl_->m);
        impl_->retained[topic] = std::move(payload);
        impl_->dirty.insert(topic);
    }
    impl_->cv.notify_one();
}

Counts Publisher::counts() const {
    return impl_->countsNow();
}

const PublisherSettings& Publisher::settings() const {
    return impl_->s;
}

#else // without libmosquitto

bool MqttSupported() {
    return false;
}

bool MqttTlsSupported() {
    return false;
}

struct Publisher::Impl {
    PublisherSettings s;
    mutable std::mutex m;
    std::uint64_t lost = 0;
};

Publisher::Publisher(PublisherSettings settings, StatusFunction status)
    : impl_(std::make_unique<Impl>()) {
    impl_->s = std::move(settings);
    if (status) {
        status("MQTT: not supported in this build");
    }
}

Publisher::~Publisher() = default;

bool Publisher::publish(Message /*m*/) {
    const std::lock_guard lock(impl_->m);
    ++impl_->lost;
    return false;
}

void Publisher::retain(const std::string& /*topic*/, std::string /*payload*/) {}

Counts Publisher::counts() const {
    const std::lock_guard lock(impl_->m);
    Counts c;
    c.lost = impl_->lost;
    return c;
}

const PublisherSettings& Publisher::settings() const {
    return impl_->s;
}

#endif

} // namespace korven::publish
