// Long runs: an hour of virtual time of the run sequence and of the live
// video loop against the virtual sensor, with faults switched on and off at
// random (silence, late, cut, padded and garbage answers, a line that goes
// dead). Every loop must end when it should - at the operator's stop, or at
// the time-out when the sensor fails - and leave the panel unlocked, the
// receive notification installed, a terminated status text, bounded
// display lists and, after every read-back, parameters in their repaired
// ranges.
//
// The seed is printed with every failure; KORVEN_LONGRUN_SEED=<n> repeats a
// run, KORVEN_LONGRUN_SECONDS=<s> changes its virtual length.
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "sim/sensor_model.h"
#include "support/bed.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace korven {
namespace {

using test::Bed;
using test::SimPeer;

std::uint32_t SeedFromEnvironment(std::uint32_t fallback) {
    const char* text = std::getenv("KORVEN_LONGRUN_SEED");
    return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

double SecondsFromEnvironment() {
    const char* text = std::getenv("KORVEN_LONGRUN_SECONDS");
    return text != nullptr ? std::strtod(text, nullptr) : 3600.0;
}

// The longest a video cycle can take once the sensor stops answering: the
// run answer's time-out, then four block time-outs (each after a request).
constexpr double kWorstVideoCycle = TIMEOUT + 4 * (TIMEOUT + 0.05) + 0.5;

class LongRun : public Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        // A coarser event pass keeps an hour of virtual time quick; it is
        // still far finer than the line's frame time.
        bed().options().passStep = 0.002;
        LoadPanels();
        InitVars();
    }

    // Connects to a sensor of a preset picked by the seed.
    void Connect(SimPeer*& sensor, std::mt19937& rng) {
        const auto& presets = sim::Presets();
        const sim::Preset& preset = presets[rng() % presets.size()];
        sensor_ = std::make_unique<SimPeer>(preset.name, rng());
        sensor = sensor_.get();
        bed().attachPeer(1, sensor);
        InitRS232(1);
        ASSERT_EQ(Status(), sensor->model().preset().firmware) << preset.name;
    }

    // Picks a fault, or none; returns true when the sensor may now fail to
    // answer in time (and so end a loop before the operator does).
    static bool PickFault(sim::Faults& faults, std::mt19937& rng) {
        faults = sim::Faults{};
        std::uniform_int_distribution<int> kind(0, 9);
        switch (kind(rng)) {
        case 0:
            faults.silent = true;
            break;
        case 1:
            faults.lateSeconds = std::uniform_real_distribution<double>(0.05, 2.0)(rng);
            break;
        case 2:
            faults.cutBytes = std::uniform_int_distribution<int>(1, 40)(rng);
            break;
        case 3:
            faults.extraBytes = std::uniform_int_distribution<int>(1, 8)(rng);
            break;
        case 4:
            faults.garbage = true;
            break;
        default:
            return false; // a sound sensor most of the time
        }
        // Some faults hit only the answers of one command.
        if (rng() % 3 == 0) {
            static const int kCommands[] = {CMD_RUN, CMD_DATA64, CMD_DATA256_OR_RESET,
                                            CMD_READ_RAM};
            faults.command = kCommands[rng() % 4];
        }
        return true;
    }

    // What holds after every activity.
    void ExpectTidy(const char* what) {
        SCOPED_TRACE(what);
        EXPECT_EQ(stop_flag, 1);
        EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_LOOPLOCK_A));
        EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_LOOPLOCK_B));
        EXPECT_TRUE(bed().notificationInstalled(1));
        EXPECT_EQ(bed().notificationMask(1), eventMask);
        EXPECT_EQ(bed().notificationCount(1), kFrameBytes);
        EXPECT_NE(std::memchr(szStatus, '\0', kStatusLen), nullptr);
        EXPECT_LE(bed().graph(pHandle, PANEL_GRAPH_VIDEO).plots.size(), 2u);
        for (const auto& trace : bed().graph(pHandle, PANEL_GRAPH_RAW).traces) {
            EXPECT_LE(trace.size(), 100u);
        }
        EXPECT_LE(bed().inputQueueLength(1), 4096);
    }

    void ExpectRepairedRanges() {
        const int maxX8 = std::max<int>(1, ccdmaxpixelX8);
        const int maxSub = std::max<int>(1, ccdsubpixel);
        EXPECT_LE(power, 1000);
        EXPECT_LE(rs232Mode, 1);
        EXPECT_GE(vThd, 50);
        EXPECT_LE(vThd, 950);
        EXPECT_LE(anaMode, 7);
        EXPECT_LE(polarity, 1);
        EXPECT_LE(eMode, 4);
        EXPECT_GE(tTol, 1);
        EXPECT_LE(tTol, maxX8);
        EXPECT_GE(deltaTol, 1);
        EXPECT_LE(deltaTol, maxSub);
        EXPECT_LE(eBeg, maxSub);
        EXPECT_GE(eEnd, 1);
        EXPECT_LE(eEnd, maxSub);
        EXPECT_LE(eHardware, 3);
        EXPECT_LE(average, 1024);
        EXPECT_LE(slope, 65534);
        EXPECT_LE(intersect, 60000);
    }

    // Runs one continuous loop (RUN or video) until the operator stops it
    // after `stopAfter` seconds; faults may come and go meanwhile. Checks
    // that it ended when it should.
    void OneLoop(int button, double stopAfter, double worstCycle, std::mt19937& rng) {
        SimPeer& sensor = *sensor_;
        const int id = ++activity_;
        const double start = bed().now();
        const double stopAt = start + stopAfter;
        // A stop left over from an earlier loop must not end this one.
        bed().at(stopAt, [this, id] {
            if (id == activity_) {
                bed().click(pHandle, PANEL_BTNStop);
            }
        });
        sim::Faults faults;
        const bool mayFail = PickFault(faults, rng);
        const double faultAt = start + std::uniform_real_distribution<double>(0.0, stopAfter)(rng);
        bed().at(faultAt, [this, id, faults, &sensor] {
            if (id == activity_) {
                sensor.faults() = faults;
            }
        });

        ASSERT_TRUE(bed().pressKey(pHandle, button));
        const double end = bed().now();
        sensor.faults() = sim::Faults{};

        // Never beyond the stop plus one cycle that runs into its time-outs.
        EXPECT_LE(end, stopAt + worstCycle) << "started " << start;
        if (!mayFail) {
            // A sound sensor keeps the loop going until the operator stops it.
            EXPECT_GE(end, stopAt) << "started " << start;
        }
        ExpectTidy(button == PANEL_BTNRun ? "run" : "video");
        // Let late answers of the last cycle come in before the next action.
        bed().advance(2.0 * TIMEOUT);
    }

    void Get(std::mt19937& rng) {
        sim::Faults faults;
        PickFault(faults, rng);
        sensor_->faults() = faults;
        ASSERT_TRUE(bed().pressKey(pHandle, PANEL_BTNGet));
        sensor_->faults() = sim::Faults{};
        ExpectRepairedRanges();
        ExpectTidy("get");
        bed().advance(2.0 * TIMEOUT);
    }

    // Starts and stops the loop of `button` at random for the test's time
    // (an hour unless the environment says otherwise), with a GET now and
    // then. Loops last a minute on average; `framesPerSecond` is the least
    // rate of frames the sensor must have seen.
    void ForAnHour(int button, double longestCycle, std::uint32_t defaultSeed,
                   double framesPerSecond) {
        const std::uint32_t seed = SeedFromEnvironment(defaultSeed);
        SCOPED_TRACE("KORVEN_LONGRUN_SEED=" + std::to_string(seed));
        std::mt19937 rng(seed);
        SimPeer* sensor = nullptr;
        Connect(sensor, rng);
        ASSERT_NE(sensor, nullptr);

        const double seconds = SecondsFromEnvironment();
        const double until = bed().now() + seconds;
        int loops = 0;
        while (bed().now() < until && !HasFailure()) {
            OneLoop(button, std::uniform_real_distribution<double>(1.0, 120.0)(rng), longestCycle,
                    rng);
            ++loops;
            if (rng() % 4 == 0) {
                Get(rng);
            }
        }
        RecordProperty("loops", loops);
        RecordProperty("frames", static_cast<int>(sensor->frames().size()));
        EXPECT_GT(loops, seconds / 300);
        EXPECT_GT(static_cast<double>(sensor->frames().size()), framesPerSecond * seconds);
    }

    std::unique_ptr<SimPeer> sensor_;
    int activity_ = 0;
};

TEST_F(LongRun, RunSequenceForAnHourWithRandomFaults) {
    // The RUN loop ends within one pass of the stop, or at its time-out; a
    // sound sensor answers many times a second.
    ForAnHour(PANEL_BTNRun, TIMEOUT + 0.1, 20261206, 2.0);
}

TEST_F(LongRun, VideoLoopForAnHourWithRandomFaults) {
    ForAnHour(PANEL_BTNVideo, kWorstVideoCycle, 7041, 1.0);
}

} // namespace
} // namespace korven
