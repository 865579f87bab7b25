// The connection to an MQTT broker (libmosquitto). The thread that calls
// it only puts messages into a bounded queue and never waits for the
// network: a thread of the publisher connects, drains the queue and
// publishes, and libmosquitto's own network thread (mosquitto_loop_start)
// sends, receives and reconnects with back-off.
//
// Retained messages (state, identity, parameters) do not go through the
// queue: the newest payload of each topic is kept and published whenever
// it changed and after every (re)connection, so that a broker that was
// down or restarted holds the program's latest word again.
#pragma once

#include "publish/mqtt_payloads.h"

#include <functional>
#include <memory>
#include <string>

namespace korven::publish {

struct PublisherSettings {
    BrokerAddress broker;
    std::string user;     // "" connects without a user name
    std::string password; // with the user only
    std::string clientId; // "" lets the broker choose
    Topics topics;        // the state topic carries the last will
    std::size_t queueCapacity = 4096;
    int keepAliveSeconds = 30;
    int reconnectMinSeconds = 1;
    int reconnectMaxSeconds = 30;
};

// Whether this build can connect at all, and with TLS.
bool MqttSupported();
bool MqttTlsSupported();

class Publisher {
  public:
    // Texts for the operator ("MQTT: ..."), called from the publisher's
    // threads: the receiver must hand them over to its own thread.
    using StatusFunction = std::function<void(const std::string&)>;

    Publisher(PublisherSettings settings, StatusFunction status);
    // Publishes "offline" and disconnects, waiting at most `kShutdownWait`
    // for the queue to drain while the broker is reachable.
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Queues a message; false when the queue was full (counted as lost) or
    // the publisher has given up (refused credentials).
    bool publish(Message m);
    // Keeps `payload` as the retained message of `topic`.
    void retain(const std::string& topic, std::string payload);
    Counts counts() const;
    const PublisherSettings& settings() const;

    static constexpr double kShutdownWait = 2.0;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace korven::publish
