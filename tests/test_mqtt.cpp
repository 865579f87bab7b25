// What the MQTT publisher makes of its settings and answers: broker
// addresses, topic levels, the payloads' fixed parts, the bounded queue and
// the batching; and that a broker nobody answers for neither blocks the
// caller nor loses messages uncounted.
#include "analysis/panel.h"
#include "app/KORVENDarir23.h"
#include "link/com232.h"
#include "publish/mqtt_glue.h"
#include "publish/mqtt_payloads.h"
#include "publish/mqtt_publisher.h"
#include "support/bed.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

namespace korven::publish {
namespace {

TEST(MqttBroker, AddressesWithTheirPortsAndWhyOthersAreNone) {
    struct Case {
        const char* url;
        const char* host; // nullptr: refused
        int port;
        bool tls;
        const char* reason; // part of the reason when refused
    };
    const Case cases[] = {
        {"mqtt://broker", "broker", 1883, false, ""},
        {"mqtts://broker", "broker", 8883, true, ""},
        {"mqtt://10.0.0.5:1", "10.0.0.5", 1, false, ""},
        {"mqtt://h:65535/", "h", 65535, false, ""},
        {"mqtts://[::1]:8884", "::1", 8884, true, ""},
        {"mqtt://[::1]", "::1", 1883, false, ""},
        {"mqtt://h:0", nullptr, 0, false, "from 1 to 65535"},
        {"mqtt://h:65536", nullptr, 0, false, "from 1 to 65535"},
        {"mqtt://h:99999999999999999999", nullptr, 0, false, "from 1 to 65535"},
        {"mqtt://h:", nullptr, 0, false, "no port after ':'"},
        {"mqtt://h:18x3", nullptr, 0, false, "from 1 to 65535"},
        {"mqtt://h:-1", nullptr, 0, false, "from 1 to 65535"},
        {"mqtt://", nullptr, 0, false, "no host"},
        {"mqtt://:1883", nullptr, 0, false, "no host"},
        {"mqtt://[::1", nullptr, 0, false, "no ']'"},
        {"mqtt://[::1]x", nullptr, 0, false, "text after"},
        {"mqtt://user@h", nullptr, 0, false, "holds '@'"},
        {"mqtt://h/topic", nullptr, 0, false, "holds '/'"},
        {"mqtt://a b", nullptr, 0, false, "holds ' '"},
        {"tcp://h:1883", nullptr, 0, false, "must start with mqtt:// or mqtts://"},
        {"MQTT://h", nullptr, 0, false, "must start with"},
        {"", nullptr, 0, false, "must start with"},
    };
    for (const Case& c : cases) {
        BrokerAddress a;
        a.host = "unchanged";
        const std::string why = ParseBrokerUrl(c.url, a);
        if (c.host == nullptr) {
            EXPECT_NE(why.find(c.reason), std::string::npos) << c.url << ": " << why;
            EXPECT_EQ(a.host, "unchanged") << c.url;
            continue;
        }
        EXPECT_EQ(why, "") << c.url;
        EXPECT_EQ(a.host, c.host) << c.url;
        EXPECT_EQ(a.port, c.port) << c.url;
        EXPECT_EQ(a.tls, c.tls) << c.url;
    }
}

TEST(MqttTopics, NamesBecomeLevelsWithoutSeparatorsOrWildcards) {
    const std::string longest(kMaxLevel, 'a');
    const std::pair<std::string, std::string> levels[] = {
        {"line-3_west.1", "line-3_west.1"},
        {"a/b", "a-b"},
        {"+#", "unnamed"},
        {"x+y#z", "x-y-z"},
        {"  hall  7 ", "hall-7"},
        {"--a--", "a"},
        {"Grüße", "Gr-e"},
        {std::string("nul\0x", 5), "nul-x"},
        {"/dev/ttyUSB0", "dev-ttyUSB0"},
        {"", "unnamed"},
        {longest, longest},
        {longest + "b", longest},
        {std::string(kMaxLevel - 1, 'a') + "/b", std::string(kMaxLevel - 1, 'a')},
    };
    for (const auto& [text, level] : levels) {
        EXPECT_EQ(TopicLevel(text), level) << text;
    }
    const std::pair<const char*, const char*> prefixes[] = {
        {"korven", "korven"}, {"plant/line 3", "plant/line-3"},
        {"/a//b/", "a/b"},    {"+/#", "korven"},
        {"", "korven"},       {"unnamed", "unnamed"},
    };
    for (const auto& [text, prefix] : prefixes) {
        EXPECT_EQ(TopicPrefix(text), prefix) << text;
    }
    EXPECT_EQ(SensorLevel(100, 231, "/dev/ttyS0"), "pcb100-fw231");
    EXPECT_EQ(SensorLevel(200, 0, "/dev/ttyS0"), "pcb200");
    EXPECT_EQ(SensorLevel(0, 231, "/dev/ttyS0"), "dev-ttyS0");
    EXPECT_EQ(SensorLevel(0, 0, "COM3"), "COM3");
    const Topics t = MakeTopics("plant/a", "desk #2", "pcb100-fw231");
    EXPECT_EQ(t.base, "plant/a/desk-2/pcb100-fw231");
    EXPECT_EQ(t.measurement(), t.base + "/measurement");
    EXPECT_EQ(t.state(), t.base + "/state");
}

TEST(MqttPayloads, CarryTheirSchemaAndStayJsonForAnyNumber) {
    Counts c;
    c.sent = 12;
    c.lost = 3;
    c.queued = 4;
    const std::string state = StatePayload(State::LineDisturbed, c, 0);
    EXPECT_EQ(state.rfind("{\"schema\":\"korven-darir-mqtt-state/1\",\"local_time\":\"", 0), 0u);
    EXPECT_NE(state.find(",\"state\":\"line disturbed\",\"sent\":12,\"lost\":3,\"queued\":4}"),
              std::string::npos)
        << state;
    EXPECT_EQ(WillPayload(), "{\"schema\":\"korven-darir-mqtt-state/1\",\"state\":\"offline\"}");
    const std::pair<State, const char*> names[] = {{State::Connected, "connected"},
                                                   {State::Running, "running"},
                                                   {State::LineDisturbed, "line disturbed"},
                                                   {State::Offline, "offline"}};
    for (const auto& [s, name] : names) {
        EXPECT_STREQ(StateName(s), name);
    }

    Calibration cal;
    cal.raw[0] = 241.5;
    cal.raw[1] = std::nan("");
    cal.um[1] = INFINITY;
    cal.slope = -1e-7;
    cal.slopeWord = 65534;
    const std::string calibration = CalibrationPayload(cal, 0);
    EXPECT_NE(calibration.find("\"points\":[{\"raw_subpx\":241.5,\"um\":0},"
                               "{\"raw_subpx\":null,\"um\":null}],\"slope\":-1e-07,"
                               "\"offset\":0,\"slope_word\":65534,\"intercept_word\":0}"),
              std::string::npos)
        << calibration;

    analysis::ParameterWords words{};
    words[0] = 500;
    words[15] = 65535;
    const std::string params = ParametersPayload("eeprom", true, false, words, 0);
    EXPECT_NE(params.find("\"memory\":\"eeprom\",\"event\":\"write\",\"confirmed\":false,"
                          "\"words\":{\"power\":500,\"rs232Mode\":0,"),
              std::string::npos)
        << params;
    EXPECT_NE(params.find("\"deltaTol\":65535}}"), std::string::npos) << params;

    Identity id;
    id.port = "COM\"1";
    id.board = 100;
    EXPECT_NE(IdentityPayload(id, 0).find("\"port\":\"COM\\\"1\",\"pcb_type\":100,"),
              std::string::npos);
}

TEST(MqttQueue, RefusesAndCountsWhatDoesNotFitAndKeepsTheOrder) {
    for (const std::size_t capacity : {0u, 1u, 3u}) {
        BoundedQueue q(capacity);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(q.push({"t", std::to_string(i), 0}), static_cast<std::size_t>(i) < capacity)
                << capacity << " " << i;
        }
        EXPECT_EQ(q.size(), capacity);
        EXPECT_EQ(q.refused(), 5 - capacity);
        for (std::size_t i = 0; i < capacity; ++i) {
            EXPECT_EQ(q.pop()->payload, std::to_string(i));
        }
        EXPECT_FALSE(q.pop().has_value());
        // Room again once drained.
        EXPECT_EQ(q.push({"t", "again", 0}), capacity > 0);
    }
}

TEST(MqttBatching, EveryAnswerOrAtMostNMessagesASecond) {
    struct Step {
        double time;
        const char* sent; // nullptr: gathered
    };
    struct Case {
        int rate;
        std::vector<Step> steps;
        const char* flushed; // what the end of the loop sends
    };
    const Case cases[] = {
        {0, {{0.0, "a"}, {0.0, "b"}, {0.01, "c"}}, nullptr},
        {-3, {{0.0, "a"}}, nullptr},
        // 5 a second: 0.2 s apart at the least, the boundary included.
        {5,
         {{10.0, "[a]"}, {10.1, nullptr}, {10.199, nullptr}, {10.2, "[b,c,d]"}, {10.3, nullptr}},
         "[e]"},
        {1, {{0.0, "[a]"}, {0.999, nullptr}, {1.0, "[b,c]"}}, nullptr},
        {25, {{0.0, "[a]"}, {0.039, nullptr}, {0.04, "[b,c]"}, {0.0801, "[d]"}}, nullptr},
    };
    for (const Case& c : cases) {
        Batcher b(c.rate);
        char row[] = "a";
        for (const Step& s : c.steps) {
            const auto sent = b.add(row, s.time);
            EXPECT_EQ(sent.has_value(), s.sent != nullptr) << c.rate << " at " << s.time;
            if (sent && s.sent) {
                EXPECT_EQ(*sent, s.sent) << c.rate << " at " << s.time;
            }
            ++row[0];
        }
        const auto rest = b.flush();
        EXPECT_EQ(rest.has_value(), c.flushed != nullptr) << c.rate;
        if (rest && c.flushed) {
            EXPECT_EQ(*rest, c.flushed);
        }
        EXPECT_FALSE(b.flush().has_value()) << "nothing twice";
    }
}

TEST(MqttPublisher, ABrokerNobodyAnswersForHoldsNothingUpAndLosesNothingUncounted) {
    if (!MqttSupported()) {
        GTEST_SKIP() << "built without libmosquitto";
    }
    std::mutex m;
    std::vector<std::string> texts;
    PublisherSettings s;
    ParseBrokerUrl("mqtt://127.0.0.1:1", s.broker); // nothing listens on port 1
    s.topics = MakeTopics("test", "station", "pcb100-fw231");
    s.queueCapacity = 50;
    const auto start = std::chrono::steady_clock::now();
    {
        Publisher p(s, [&](const std::string& t) {
            const std::lock_guard lock(m);
            texts.push_back(t);
        });
        p.retain(s.topics.state(), "{}");
        for (int i = 0; i < 60; ++i) {
            p.publish({s.topics.measurement(), "{}", 0});
        }
        const Counts c = p.counts();
        EXPECT_EQ(c.queued, 50u);
        EXPECT_EQ(c.lost, 10u);
        EXPECT_EQ(c.sent, 0u);
        EXPECT_FALSE(c.connected);
    }
    // Queuing took no network time, and the end did not wait for a broker
    // that never answered.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const std::lock_guard lock(m);
    ASSERT_FALSE(texts.empty());
    bool full = false;
    for (const std::string& t : texts) {
        full = full || t == "MQTT: queue full (50 messages), measurements are being lost";
    }
    EXPECT_TRUE(full);
}

// The program's side: topics that follow the sensor, one message per answer
// or the answers gathered, the calibration queued; a broker that does not
// answer (port 1), so that everything stays countable in the queue.
class MqttGlue : public test::PanelBed {
  protected:
    void TearDown() override {
        StopPublishing();
        PanelBed::TearDown();
    }
    static MqttOptions Options(int rate) {
        MqttOptions o;
        o.url = "mqtt://127.0.0.1:1";
        o.station = "desk 1";
        o.rate = rate;
        return o;
    }
    // Runs RUN for `seconds`, then STOP; the answers taken.
    std::size_t Run(double seconds) {
        const std::size_t before = CurrentStatistics().count();
        bed().at(bed().now() + seconds, [this] { bed().click(pHandle, PANEL_BTNStop); });
        bed().click(pHandle, PANEL_BTNRun);
        return CurrentStatistics().count() - before;
    }
    test::SimPeer sensor_;
};

TEST_F(MqttGlue, TopicsFollowTheSensorAndAnswersAreQueuedOneByOneOrGathered) {
    if (!MqttSupported()) {
        GTEST_SKIP() << "built without libmosquitto";
    }
    EXPECT_NE(StartPublishing(Options(26)).find("to 25 messages a second"), std::string::npos);
    EXPECT_NE(StartPublishing(Options(-1)).find("to 25 messages a second"), std::string::npos);
    MqttOptions bad = Options(0);
    bad.url = "mqtt://h:0";
    EXPECT_NE(StartPublishing(bad).find("from 1 to 65535"), std::string::npos);
    EXPECT_FALSE(Publishing());

    // Before a sensor identified itself the port names it; then its board
    // and firmware do.
    ASSERT_EQ(StartPublishing(Options(0)), "");
    EXPECT_EQ(PublishingTopics().base, "korven/desk-1/COM1");
    Connect(sensor_);
    EXPECT_EQ(PublishingTopics().base, "korven/desk-1/pcb100-fw231");

    const std::size_t answers = Run(2.0);
    ASSERT_GT(answers, 40u);
    EXPECT_EQ(PublishingCounts().queued, answers) << "one message per answer";
    NotifyProgramEvent(ProgramEvent(ProgramEventKind::CalibrationSent));
    EXPECT_EQ(PublishingCounts().queued, answers + 1) << "the calibration";
    EXPECT_EQ(PublishingCounts().lost, 0u);

    // At 5 a second: at most 5 messages a second and the rest at STOP.
    ASSERT_EQ(StartPublishing(Options(5)), "");
    const std::size_t gathered = Run(2.0);
    ASSERT_GT(gathered, 40u);
    EXPECT_GE(PublishingCounts().queued, 10u);
    EXPECT_LE(PublishingCounts().queued, 12u);
    StopPublishing();
    EXPECT_FALSE(Publishing());
    EXPECT_EQ(PublishingSummary(), "MQTT is off");
}

} // namespace
} // namespace korven::publish
