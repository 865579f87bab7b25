// Publishing to an MQTT broker from the program: the publisher hooked to
// the program's answers and events, its settings as the program keeps them,
// and the MQTT pop-up panel. Everything here runs on the user-interface
// thread; the publisher's own threads only hand texts back (PostDeferredCall).
#pragma once

#include "publish/mqtt_payloads.h"

#include <functional>
#include <string>

namespace korven {

struct MqttOptions {
    bool enabled = false; // off until the operator switches it on
    std::string url;      // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    std::string user;
    std::string password;
    std::string station;                          // "" is the computer's name
    std::string prefix = publish::kDefaultPrefix; // first topic level(s)
    int rate = 0;                                 // messages a second at most; 0: one per answer
    std::string portName;                         // names the sensor before it identified itself
    bool ownAnswers = true;                       // false: the caller hands in the measurements
};

constexpr int kMaxMqttRate = 25;

// The options kept in the settings (enabled, URL, user, password, station,
// prefix, rate), and keeping them.
MqttOptions LoadMqttOptions();
void SaveMqttOptions(const MqttOptions& options);
// The computer's name, the default station.
std::string ComputerName();

// Starts publishing (ends what was published before). Returns "" or the
// reason the options cannot be used (nothing is published then). `status`
// takes the publisher's texts on this thread; by default they go to the
// status line and its message history.
std::string StartPublishing(const MqttOptions& options,
                            std::function<void(const std::string&)> status = {});
// Ends publishing: the publisher sends what is queued and "offline" and
// disconnects on a thread of its own (at most a few seconds while the broker
// is reachable). With `wait` (the program or the command ends) it returns
// when every publisher ended so has finished.
void StopPublishing(bool wait = true);
bool Publishing();
// Stops publishing and forgets the pop-up (a fresh start for tests).
void ResetPublishing();
publish::Counts PublishingCounts();
// The topics in use ("" base when not publishing).
publish::Topics PublishingTopics();
// For options with ownAnswers false: one answer, as its JSON object (the
// recording's columns), at engine time `now`.
void PublishMeasurement(std::string_view row, double now);
// The text of the pop-up's status line: connected or not, sent, queued, lost.
std::string PublishingSummary();

int CC_BTNMqtt(int panel, int control, int event, void* callbackData, int eventData1,
               int eventData2);
int CC_MQTT(int panel, int event, void* callbackData, int eventData1, int eventData2);
int CC_TOGGBTN_MqttOn(int panel, int control, int event, void* callbackData, int eventData1,
                      int eventData2);

} // namespace korven
