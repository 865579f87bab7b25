// The virtual sensor's device model: frames in, answers out.
#include "sim/sensor_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <unistd.h>

namespace {

namespace sim = korven::sim;
using sim::Bytes;
using sim::Faults;
using sim::SensorModel;
using sim::Words;

sim::ModelOptions OptionsFor(const char* preset, std::uint32_t seed = 1) {
    sim::ModelOptions o;
    o.preset = *sim::FindPreset(preset);
    o.seed = seed;
    return o;
}

std::vector<sim::Output> Send(SensorModel& m, double t, int command, const Words& words = {}) {
    return m.receive(t, SensorModel::commandFrame(command, words));
}

// The single answer to a request, or an empty byte string.
Bytes Ask(SensorModel& m, double t, int command, const Words& words = {}) {
    const auto out = Send(m, t, command, words);
    EXPECT_LE(out.size(), 1u);
    return out.empty() ? Bytes{} : out.front().bytes;
}

std::uint16_t W(const Bytes& answer, int k) {
    return SensorModel::dataWord(answer, k);
}

Words Params(SensorModel& m) {
    const Bytes a = Ask(m, 0.0, sim::kCmdReadRam);
    Words w{};
    for (int k = 0; k < 16; ++k) {
        w[static_cast<std::size_t>(k)] = W(a, k);
    }
    return w;
}

struct RunAnswer {
    std::uint16_t ledge, redge, mvalue, tval, ttol, edges, mvstart, mvend, anaMax, anaMin;
    std::uint32_t um;
};

RunAnswer RunAt(SensorModel& m, double t) {
    const Bytes a = Ask(m, t, sim::kCmdRun);
    EXPECT_EQ(a.size(), 36u);
    const std::uint32_t um = W(a, 3) + 65536u * W(a, 4);
    return {W(a, 0), W(a, 1), W(a, 2),  W(a, 5),  W(a, 6), W(a, 7),
            W(a, 8), W(a, 9), W(a, 11), W(a, 12), um};
}

// The 256 video samples, read the way the program reads them on this board.
std::vector<std::uint16_t> VideoLine(SensorModel& m, double t) {
    std::vector<std::uint16_t> samples;
    auto take = [&](const Bytes& b, std::size_t size) {
        EXPECT_EQ(b.size(), size);
        for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
            samples.push_back(SensorModel::wordAt(b, i));
        }
    };
    const int board = m.preset().pcbtype;
    if (board == 0 || board == 100) {
        for (int start : {0, 64, 128, 192}) {
            const auto first = static_cast<std::uint16_t>(start);
            take(Ask(m, t, sim::kCmdVideo64, Words{first, start == 192}), 128u);
        }
    } else {
        take(Ask(m, t, sim::kCmdAnalogReset), 512u);
    }
    return samples;
}

// ---- frames and answer lengths ---------------------------------------------

TEST(SimModel, EveryCommandGetsTheAnswerLengthTheProgramExpects) {
    struct Case {
        int command;
        std::size_t length; // 0: no answer
        const char* preset = "type2-res350";
    };
    const Case cases[] = {
        {1, 0},
        {2, 36},
        {3, 0},
        {4, 36},
        {5, 36},
        {6, 36},
        {7, 72},
        {8, 36},
        {9, 128},
        {10, 36},
        {11, 36},
        {12, 36},
        {0, 0},
        {13, 0},
        {0xFFFF, 0},
        {11, 36, "type1"},
        {11, 512, "type2-res250"},
        {11, 512, "type4"},
    };
    for (const Case& c : cases) {
        SensorModel m(OptionsFor(c.preset));
        const auto out = Send(m, 1.0, c.command);
        SCOPED_TRACE(std::string(c.preset) + " command " + std::to_string(c.command));
        if (c.length == 0) {
            EXPECT_TRUE(out.empty());
            continue;
        }
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].bytes.size(), c.length);
        EXPECT_DOUBLE_EQ(out[0].due, 1.0 + m.options().processingTime);
        if (c.length == 36) {
            EXPECT_EQ(SensorModel::wordAt(out[0].bytes, 0), 0x00AA);
            EXPECT_EQ(SensorModel::wordAt(out[0].bytes, 2), c.command);
        }
    }
}

TEST(SimModel, FramesAreAssembledFromPiecesResynchronisedAndStaleHalvesDropped) {
    SensorModel m;
    const Bytes echo = SensorModel::commandFrame(5, {0x1234, 0xFFFE});
    // One byte at a time: one answer, due after the last byte.
    std::vector<sim::Output> out;
    for (std::size_t i = 0; i < echo.size(); ++i) {
        auto o = m.receive(0.01 * static_cast<double>(i) / 36.0, std::span(&echo[i], 1));
        out.insert(out.end(), o.begin(), o.end());
    }
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(W(out[0].bytes, 0), 0x1234);
    EXPECT_EQ(W(out[0].bytes, 1), 0xFFFE);

    // Junk before a frame, including a false 0x00 and a stray 0x55.
    Bytes noisy = {0x55, 0x00, 0x00, 0xAA, 0x13};
    noisy.insert(noisy.end(), echo.begin(), echo.end());
    out = m.receive(1.0, noisy);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(W(out[0].bytes, 0), 0x1234);
    EXPECT_EQ(m.bytesDiscarded(), 5);

    // Two frames in one piece: each answer is due after its own last byte.
    Bytes two = SensorModel::commandFrame(2, Words{});
    two.insert(two.end(), echo.begin(), echo.end());
    out = m.receive(2.0, two);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(SensorModel::wordAt(out[0].bytes, 2), 2);
    EXPECT_EQ(SensorModel::wordAt(out[1].bytes, 2), 5);
    EXPECT_NEAR(out[1].due - out[0].due, 36 * sim::kByteTime19200, 1e-9);
    EXPECT_NEAR(out[1].due, 2.0 + m.options().processingTime, 1e-9);

    // Half a frame (e.g. the host flushed its queue mid-write), then
    // silence: it is dropped so the next frame is understood.
    EXPECT_TRUE(m.receive(3.0, std::span(echo.data(), 20)).empty());
    out = m.receive(4.0, echo);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(W(out[0].bytes, 0), 0x1234);
    EXPECT_EQ(m.bytesDiscarded(), 5 + 20);
    // After resetInput (host closed the port) likewise.
    EXPECT_TRUE(m.receive(5.0, std::span(echo.data(), 10)).empty());
    m.resetInput();
    EXPECT_EQ(m.receive(5.001, echo).size(), 1u);
}

// ---- parameter sets ----------------------------------------------------------

TEST(SimModel, RamAndEepromWritesAndReads) {
    SensorModel m;
    const Words factory = m.eeprom();
    // The factory mode, window and 1:1 calibration show in the scene tests.
    EXPECT_EQ(factory[sim::kPower], 500);
    EXPECT_EQ(Params(m), factory) << "RAM starts as a copy of the EEPROM";

    Words w{};
    for (int k = 0; k < 16; ++k) {
        w[static_cast<std::size_t>(k)] = static_cast<std::uint16_t>(0xFF00 + k);
    }
    EXPECT_TRUE(Send(m, 0.0, sim::kCmdWriteRam, w).empty());
    EXPECT_EQ(Params(m), w);
    Bytes e = Ask(m, 0.0, sim::kCmdReadEeprom);
    EXPECT_EQ(W(e, 0), factory[0]) << "command 1 leaves the EEPROM alone";

    Words w2 = factory;
    w2[sim::kTVal] = 4321;
    EXPECT_TRUE(Send(m, 0.0, sim::kCmdWriteEeprom, w2).empty());
    e = Ask(m, 0.0, sim::kCmdReadEeprom);
    EXPECT_EQ(W(e, sim::kTVal), 4321);
    EXPECT_EQ(Params(m), w2) << "command 3 writes RAM too";

    EXPECT_EQ(sim::FactoryParameters(*sim::FindPreset("type104"))[sim::kSlope], 512);
    EXPECT_EQ(sim::FactoryParameters(*sim::FindPreset("type1"))[sim::kVThd], 512);
    EXPECT_EQ(sim::FactoryParameters(*sim::FindPreset("type3"))[sim::kVThd], 128);
}

TEST(SimModel, TheEepromFileSurvivesRestartsAndBadFilesAndFailedWritesAreReported) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("korven-sim-eeprom-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    sim::ModelOptions options;
    options.eepromPath = (dir / "eeprom.txt").string();
    const auto write = [&](const char* content) {
        std::ofstream(options.eepromPath, std::ios::binary | std::ios::trunc) << content;
    };
    // A broken file gives factory values and a reason, and reading it does
    // not overwrite it.
    for (const char* content : {"", "1 2 3\n", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 65536\n",
                                "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 -1\n",
                                "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n", "garbage\x01\xff"}) {
        write(content);
        SensorModel m(options);
        EXPECT_FALSE(m.eepromError().empty()) << content;
        EXPECT_EQ(m.eeprom(), sim::FactoryParameters(m.preset())) << content;
        std::ifstream in(options.eepromPath, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
    }
    // A file with comments, CR/LF line ends and spread-out numbers is fine.
    write("# saved\r\n1 2 3 4\r\n5 6 7 8 9 10 11 12\r\n\r\n13 14 15 16\r\n");
    const SensorModel ok(options);
    EXPECT_TRUE(ok.eepromError().empty()) << ok.eepromError();
    EXPECT_EQ(ok.eeprom()[15], 16);

    fs::remove(options.eepromPath);
    Words w{};
    {
        SensorModel a(options);
        EXPECT_TRUE(a.eepromError().empty()) << "no file yet is no fault";
        w = a.eeprom();
        w[sim::kVThd] = 700;
        w[sim::kTTol] = 65535;
        Send(a, 0.0, sim::kCmdWriteEeprom, w);
        EXPECT_TRUE(a.eepromError().empty()) << a.eepromError();
        // RAM-only writes do not reach the file.
        Words r = w;
        r[sim::kVThd] = 100;
        Send(a, 0.1, sim::kCmdWriteRam, r);
    }
    SensorModel b(options);
    EXPECT_TRUE(b.eepromError().empty()) << b.eepromError();
    EXPECT_EQ(b.eeprom(), w);
    EXPECT_EQ(Params(b), w) << "RAM boots from the EEPROM";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1) << "no temporary file is left";

    // Block the temporary file's name with a directory: the write cannot
    // even start (for root too); the failure is reported, the old file kept.
    fs::create_directory(options.eepromPath + ".tmp." + std::to_string(::getpid()));
    w[0] = 999;
    Send(b, 0.0, sim::kCmdWriteEeprom, w);
    EXPECT_FALSE(b.eepromError().empty());
    EXPECT_EQ(W(Ask(b, 0.0, sim::kCmdReadEeprom), 0), 999) << "the sensor still holds it";
    EXPECT_EQ(SensorModel(options).eeprom()[0], 500) << "the old file is intact";
    fs::remove_all(dir);
}

// ---- identification ------------------------------------------------------------

TEST(SimModel, PresetsDescribeConsistentSensors) {
    std::set<std::string> names;
    std::set<int> types;
    for (const sim::Preset& p : sim::Presets()) {
        SCOPED_TRACE(p.name);
        EXPECT_TRUE(names.insert(p.name).second) << "names are unique";
        types.insert(p.ccdtype);
        EXPECT_EQ(p.ccdmaxpixelX8, p.ccdmaxpixel * 8);
        EXPECT_EQ(p.ccdsubpixel % p.ccdmaxpixel, 0) << "whole sub-pixels per pixel";
        EXPECT_EQ(p.ccdpixE, p.ccdsubpixel) << "last pixel in sub-pixel units";
        if (p.pcbtype == 0) {
            EXPECT_LE(p.firmware.size(), 36u) << "one character per word";
        }
        SensorModel m(OptionsFor(p.name.c_str()));
        const Bytes hw = Ask(m, 0.0, sim::kCmdHardware);
        const std::uint16_t expected[] = {p.ccdtype, p.ccdmaxpixel,   p.ccdresolution,
                                          p.pcbtype, p.ccdmaxpixelX8, p.ccdsubpixel,
                                          0,         p.ccdpixE,       p.softversion};
        for (int k = 0; k < 9; ++k) {
            EXPECT_EQ(W(hw, k), expected[k]) << "word " << k;
        }
    }
    for (int t : {1, 2, 3, 4, 101, 102, 103, 104}) {
        EXPECT_TRUE(types.count(t)) << "type " << t;
    }
    EXPECT_EQ(sim::DefaultPreset().pcbtype, 100);
    EXPECT_EQ(sim::FindPreset("no-such-sensor"), nullptr);
}

// ---- the scene --------------------------------------------------------------------

TEST(SimModel, EdgesSitOnTheSceneAndTheVideoShowsTheShadow) {
    for (const char* preset : {"type2-res350", "type1", "type103", "type101"}) {
        SCOPED_TRACE(preset);
        SensorModel m(OptionsFor(preset));
        const double f = double(m.preset().ccdsubpixel) / m.preset().ccdmaxpixel;
        for (double t : {0.0, 3.0, 7.5}) {
            const RunAnswer r = RunAt(m, t);
            const auto ideal = m.sceneEdges(t);
            ASSERT_EQ(ideal.size(), 2u);
            EXPECT_EQ(r.edges, 2);
            EXPECT_NEAR(r.ledge, ideal[0], 2.5 * f);
            EXPECT_NEAR(r.redge, ideal[1], 2.5 * f);
            EXPECT_EQ(r.mvalue, r.redge) << "factory mode 1 measures the right edge";
            EXPECT_EQ(r.mvstart, r.ledge);
            EXPECT_EQ(r.mvend, r.redge);
            EXPECT_EQ(r.um, r.mvalue) << "factory calibration is 1:1";
            // The video block belongs to the same line: dark between the
            // edges, bright outside, all within the video range.
            const auto video = VideoLine(m, t);
            ASSERT_EQ(video.size(), 256u);
            const double step = double(m.preset().ccdsubpixel) / 256;
            for (std::size_t i = 0; i < video.size(); ++i) {
                const std::uint16_t v = video[i];
                EXPECT_LE(v, m.videoMax());
                const double x = static_cast<double>(i) * step;
                if (x < r.ledge - 3 * f - step || (x > r.redge + 3 * f && x < r.redge + 40 * f)) {
                    EXPECT_GT(v, m.ram()[sim::kVThd]) << "sample " << i;
                } else if (x > r.ledge + 3 * f && x < r.redge - 3 * f - step) {
                    EXPECT_LT(v, m.ram()[sim::kVThd]) << "sample " << i;
                }
            }
        }
    }
}

TEST(SimModel, TwoObjectsGiveFourEdgesAndTheOuterOnesAreReported) {
    sim::ModelOptions o = OptionsFor("type1");
    o.scene.objects = 2;
    SensorModel m(o);
    m.setRamWord(sim::kEMode, 2);
    const RunAnswer r = RunAt(m, 1.0);
    const auto ideal = m.sceneEdges(1.0);
    ASSERT_EQ(ideal.size(), 4u);
    EXPECT_EQ(r.edges, 4);
    EXPECT_NEAR(r.ledge, ideal.front(), 2.5);
    EXPECT_NEAR(r.redge, ideal.back(), 2.5);
    EXPECT_EQ(r.mvalue, r.redge - r.ledge);
    // A window around the big object alone sees only its two edges.
    m.setRamWord(sim::kEBeg, static_cast<std::uint16_t>((ideal[1] + ideal[2]) / 2));
    EXPECT_EQ(RunAt(m, 1.0).edges, 2);
}

TEST(SimModel, TheEdgesMoveOverTimeButSlowly) {
    SensorModel m;
    const RunAnswer a = RunAt(m, 0.0);
    const RunAnswer b = RunAt(m, 0.05);
    const RunAnswer c = RunAt(m, 5.0);
    EXPECT_LT(std::abs(int(a.ledge) - int(b.ledge)), 100) << "about 20 pixels a second at most";
    EXPECT_GT(std::abs(int(a.ledge) - int(c.ledge)), 400);
}

TEST(SimModel, ThresholdAndWindowChangeWhatTheSensorReports) {
    SensorModel m(OptionsFor("type1"));
    const RunAnswer base = RunAt(m, 1.0);
    ASSERT_EQ(base.edges, 2);

    // A dark object: a higher threshold takes in more of its blurred edges.
    m.setRamWord(sim::kVThd, 800);
    const RunAnswer high = RunAt(m, 1.0);
    EXPECT_LT(high.ledge, base.ledge);
    EXPECT_GT(high.redge, base.redge);
    // Above the lit background every pixel is "dark": no edge at all.
    m.setRamWord(sim::kVThd, 1023);
    EXPECT_EQ(RunAt(m, 1.0).edges, 0);
    m.setRamWord(sim::kVThd, 512);

    // Window starting inside the object: one rising edge, the lit side is
    // to the right, so the measured stretch runs to the window's end.
    m.setRamWord(sim::kEBeg, static_cast<std::uint16_t>(base.ledge + 20));
    m.setRamWord(sim::kEEnd, 1000);
    RunAnswer one = RunAt(m, 1.0);
    EXPECT_EQ(one.edges, 1);
    EXPECT_NEAR(one.ledge, base.redge, 2);
    EXPECT_EQ(one.redge, one.ledge);
    EXPECT_LT(one.mvstart, one.mvend);
    EXPECT_EQ(one.mvend, 1000);

    // Window ending inside the object: one falling edge, lit side left.
    m.setRamWord(sim::kEBeg, 5);
    m.setRamWord(sim::kEEnd, static_cast<std::uint16_t>(base.redge - 20));
    one = RunAt(m, 1.0);
    EXPECT_EQ(one.edges, 1);
    EXPECT_NEAR(one.ledge, base.ledge, 2);
    EXPECT_GE(one.mvstart, one.mvend);
    EXPECT_EQ(one.mvend, 5);

    // An empty or inverted window finds nothing and measures 0.
    m.setRamWord(sim::kEBeg, 900);
    m.setRamWord(sim::kEEnd, 100);
    const RunAnswer none = RunAt(m, 1.0);
    EXPECT_EQ(none.edges, 0);
    EXPECT_EQ(none.ledge, 0);
    EXPECT_EQ(none.redge, 0);
    EXPECT_EQ(none.mvalue, 0);
    // Limits beyond the line are clipped to it, never read past the end.
    m.setRamWord(sim::kEBeg, 0);
    m.setRamWord(sim::kEEnd, 65535);
    EXPECT_EQ(RunAt(m, 1.0).edges, 2);
}

TEST(SimModel, EvaluationModesAndTheCalibrationLine) {
    SensorModel m(OptionsFor("type1"));
    const RunAnswer r1 = RunAt(m, 2.0);
    m.setRamWord(sim::kEMode, 0);
    EXPECT_NEAR(RunAt(m, 2.0).mvalue, r1.ledge, 2) << "same scene, fresh noise";
    m.setRamWord(sim::kEMode, 2);
    RunAnswer w = RunAt(m, 2.0);
    EXPECT_EQ(w.mvalue, w.redge - w.ledge);
    m.setRamWord(sim::kEMode, 3);
    RunAnswer c = RunAt(m, 2.0);
    EXPECT_EQ(c.mvalue, (c.ledge + c.redge) / 2);

    // Calibration: store slope 2.0 and offset +100 um, then um = 2 M + 100.
    Bytes a = Ask(m, 2.0, sim::kCmdCalibration, Words{1});
    EXPECT_TRUE(m.calibrationActive());
    EXPECT_EQ(W(a, 0), 1024);
    EXPECT_EQ(W(a, 1), 30000);
    a = Ask(m, 2.0, sim::kCmdCalibration, Words{2, 2048, 30100});
    EXPECT_EQ(W(a, 0), 2048);
    EXPECT_EQ(W(a, 1), 30100);
    EXPECT_EQ(Params(m)[sim::kSlope], 2048);
    EXPECT_EQ(m.eeprom()[sim::kSlope], 1024) << "only RAM";
    c = RunAt(m, 2.0);
    EXPECT_EQ(c.um, 2u * c.mvalue + 100u);
    // A large value crosses into the high word.
    Ask(m, 2.0, sim::kCmdCalibration, Words{2, 65535, 65535});
    c = RunAt(m, 2.0);
    EXPECT_NEAR(double(c.um), 65535.0 / 1024 * c.mvalue + 35535, 1.0);
    EXPECT_GT(c.um, 65535u);
    // An offset that drives the value below zero reports 0, not a wrapped number.
    Ask(m, 2.0, sim::kCmdCalibration, Words{2, 1, 0});
    EXPECT_EQ(RunAt(m, 2.0).um, 0u);
    Ask(m, 2.0, sim::kCmdCalibration, Words{0});
    EXPECT_FALSE(m.calibrationActive());

    // Type 104 reads its slope with 512 = 1.0.
    SensorModel t104(OptionsFor("type104"));
    Ask(t104, 0.0, sim::kCmdCalibration, Words{2, 1024, 30000});
    const RunAnswer r = RunAt(t104, 0.0);
    EXPECT_EQ(r.um, 2u * r.mvalue);
}

TEST(SimModel, TeachTakesTheMeasuredValueAsSetPoint) {
    SensorModel m(OptionsFor("type1"));
    const RunAnswer before = RunAt(m, 4.0);
    const Bytes a = Ask(m, 4.0, sim::kCmdTeach);
    ASSERT_EQ(a.size(), 36u);
    EXPECT_EQ(W(a, sim::kTVal), before.mvalue);
    EXPECT_EQ(Params(m)[sim::kTVal], before.mvalue);
    EXPECT_EQ(RunAt(m, 4.0).tval, before.mvalue);
    // Nothing to measure: the set-point stays.
    m.setRamWord(sim::kVThd, 1023);
    Ask(m, 4.0, sim::kCmdTeach);
    EXPECT_EQ(Params(m)[sim::kTVal], before.mvalue);
}

TEST(SimModel, AnalogueExtremesAndTheirReset) {
    SensorModel m; // board 100
    const std::uint16_t top = m.preset().ccdmaxpixelX8 - 1;
    Ask(m, 0.0, sim::kCmdAnalogReset);
    std::uint16_t lo = 65535, hi = 0;
    RunAnswer r{};
    for (double t = 0.0; t < 10.0; t += 1.0) {
        r = RunAt(m, t);
        lo = std::min(lo, r.mvalue);
        hi = std::max(hi, r.mvalue);
        EXPECT_EQ(r.anaMax, hi);
        EXPECT_EQ(r.anaMin, lo);
    }
    EXPECT_GT(hi, lo + 100);
    const Bytes a = Ask(m, 10.0, sim::kCmdAnalogReset);
    ASSERT_EQ(a.size(), 36u);
    EXPECT_EQ(W(a, 0), 0);
    EXPECT_EQ(W(a, 1), top);
    EXPECT_EQ(m.anaMax(), 0);
    EXPECT_EQ(m.anaMin(), top);

    // Board 200: command 11 is the video read and resets nothing.
    SensorModel b(OptionsFor("type2-res250"));
    RunAt(b, 0.0);
    const std::uint16_t max = b.anaMax();
    EXPECT_GT(max, 0);
    EXPECT_EQ(Ask(b, 0.0, sim::kCmdAnalogReset).size(), 512u);
    EXPECT_EQ(b.anaMax(), max);
}

TEST(SimModel, VideoBlocksAgreeReachBeyondEightBitsAndFollowThePower) {
    SensorModel m(OptionsFor("type1")); // board 0, 10-bit video
    RunAt(m, 1.0);
    const std::vector<std::uint16_t> four = VideoLine(m, 1.01);
    const std::uint16_t normal = *std::max_element(four.begin(), four.end());
    EXPECT_GT(normal, 255);
    EXPECT_LE(normal, 1023);
    // A start index past the line gives zeros, not memory beyond it.
    const Bytes past = Ask(m, 1.02, sim::kCmdVideo64, Words{250, 0});
    EXPECT_EQ(SensorModel::wordAt(past, 0), four[250]);
    EXPECT_EQ(SensorModel::wordAt(past, 2 * 6), 0);
    const Bytes far = Ask(m, 1.02, sim::kCmdVideo64, Words{65535, 0});
    EXPECT_EQ(std::count(far.begin(), far.end(), 0), 128);
    // Half the power, less than 60 % of the light.
    m.setRamWord(sim::kPower, 250);
    RunAt(m, 1.0);
    const std::vector<std::uint16_t> dim = VideoLine(m, 1.01);
    EXPECT_LT(*std::max_element(dim.begin(), dim.end()), normal * 0.6);
}

TEST(SimModel, TheSeedMakesTheNoiseRepeatable) {
    SensorModel a(OptionsFor("type1", 7)), b(OptionsFor("type1", 7)), c(OptionsFor("type1", 8));
    bool differs = false;
    for (double t = 0.0; t < 1.0; t += 0.1) {
        EXPECT_EQ(Ask(a, t, sim::kCmdRun), Ask(b, t, sim::kCmdRun));
        Ask(c, t, sim::kCmdRun);
        const Bytes va = Ask(a, t, sim::kCmdVideo64, Words{64, 0});
        EXPECT_EQ(va, Ask(b, t, sim::kCmdVideo64, Words{64, 0}));
        differs = differs || va != Ask(c, t, sim::kCmdVideo64, Words{64, 0});
    }
    EXPECT_TRUE(differs);
}

// ---- faults -------------------------------------------------------------------------

TEST(SimModel, FaultsSilenceDelayCutPadGarbleAndDropTheLine) {
    SensorModel m;
    struct Case {
        Faults faults;
        int command;
        std::size_t length; // 0: no answer
    };
    const Case cases[] = {
        {{.silent = true}, sim::kCmdReadRam, 0},
        {{.cutBytes = 1}, sim::kCmdEcho, 35},
        {{.cutBytes = 500}, sim::kCmdFirmware, 0}, // cut to nothing: no answer
        {{.extraBytes = 4}, sim::kCmdFirmware, 76},
        // Only one command misbehaves.
        {{.silent = true, .command = sim::kCmdFirmware}, sim::kCmdFirmware, 0},
        {{.silent = true, .command = sim::kCmdFirmware}, sim::kCmdEcho, 36},
        {{}, sim::kCmdReadRam, 36},
    };
    for (const Case& c : cases) {
        m.setFaults(c.faults);
        const auto out = Send(m, 1.0, c.command);
        EXPECT_EQ(out.empty() ? 0u : out.at(0).bytes.size(), c.length) << "row " << (&c - cases);
    }

    m.setFaults(Faults{.silent = true});
    Send(m, 1.0, sim::kCmdWriteRam, Words{42});
    m.setFaults({});
    EXPECT_EQ(Params(m)[0], 42) << "a silent sensor still works";

    m.setFaults(Faults{.lateSeconds = 1.6});
    auto out = Send(m, 2.0, sim::kCmdEcho);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_DOUBLE_EQ(out[0].due, 2.0 + m.options().processingTime + 1.6);

    m.setFaults(Faults{.garbage = true});
    for (int i = 0; i < 50; ++i) {
        const Bytes g = Ask(m, 4.0, sim::kCmdEcho);
        ASSERT_EQ(g.size(), 36u);
        EXPECT_FALSE(g[0] == 0x00 && g[1] == 0xAA);
    }

    // The line drops after so many frames: a dropped line processes nothing.
    m.setFaults(Faults{.dropAfterFrames = m.framesReceived() + 3});
    EXPECT_EQ(Send(m, 5.0, sim::kCmdEcho).size(), 1u);
    EXPECT_TRUE(Send(m, 5.0, sim::kCmdWriteRam, Words{1}).empty());
    EXPECT_EQ(Send(m, 5.0, sim::kCmdRun).size(), 1u);
    EXPECT_TRUE(Send(m, 5.0, sim::kCmdEcho).empty());
    Send(m, 5.0, sim::kCmdWriteRam, Words{2});
    EXPECT_EQ(m.ram()[0], 1);
}

} // namespace
