// The virtual sensor: its device model (frames in, answers out), the model
// served on a pseudo-terminal as a serial client sees it, and the model as a
// peer on the headless serial line driven by the program's own link code.
// Answer lengths, line timing, a client reopening the port, the link's
// removal and the EEPROM file are also checked from outside the program by
// tests/sim/pty_client_test.py; the pty part covers what only the server's
// own interface can reach.
#if !defined(_WIN32)
#include "program/options.h"
#include "sim/pty_server.h"
#endif
#include "sim/sensor_model.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include "app/KORVENDarir23.h"
#include "link/com232.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <set>
#include <string>
#include <tuple>
#include <vector>
#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

namespace sim = korven::sim;
using sim::Bytes;
using sim::Faults;
using sim::SensorModel;
using sim::Words;

using korven::test::PresetOptions;

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

// The 16 data words of the answer to a request.
Words Params(SensorModel& m, int command = sim::kCmdReadRam) {
    const Bytes answer = Ask(m, 0.0, command);
    Words w{};
    for (int k = 0; k < 16; ++k) {
        w[static_cast<std::size_t>(k)] = W(answer, k);
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

// ---- frames --------------------------------------------------------------------
// Every command's answer length on board 100, the answers' sync and echo
// words and the unanswered commands are checked on the running server by
// pty_client_test.py; an answer's due time in the fault table below.

TEST(SimModel, FramesAreAssembledFromPiecesResynchronisedAndStaleHalvesDropped) {
    SensorModel m;
    const Bytes echo = SensorModel::commandFrame(5, {0x1234, 0xFFFE});
    const Bytes answer = SensorModel::answerFrame(5, Words{0x1234, 0xFFFE});
    // The bytes of the one answer, or none.
    const auto single = [](const std::vector<sim::Output>& out) {
        return out.size() == 1 ? out[0].bytes : Bytes{};
    };
    // One byte at a time: one answer, due after the last byte.
    std::vector<sim::Output> out;
    for (std::size_t i = 0; i < echo.size(); ++i) {
        auto o = m.receive(0.01 * static_cast<double>(i) / 36.0, std::span(&echo[i], 1));
        out.insert(out.end(), o.begin(), o.end());
    }
    EXPECT_EQ(single(out), answer);

    // Junk before a frame, including a false 0x00 and a stray 0x55.
    Bytes noisy = {0x55, 0x00, 0x00, 0xAA, 0x13};
    noisy.insert(noisy.end(), echo.begin(), echo.end());
    EXPECT_EQ(single(m.receive(1.0, noisy)), answer);
    EXPECT_EQ(m.bytesDiscarded(), 5);

    // Two frames in one piece: each answer is due after its own last byte.
    Bytes two = SensorModel::commandFrame(2, Words{});
    two.insert(two.end(), echo.begin(), echo.end());
    out = m.receive(2.0, two);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(SensorModel::wordAt(out[0].bytes, 2), 2);
    EXPECT_EQ(out[1].bytes, answer);
    EXPECT_NEAR(out[1].due - out[0].due, 36 * sim::kByteTime19200, 1e-9);
    EXPECT_NEAR(out[1].due, 2.0 + m.options().processingTime, 1e-9);

    // Half a frame (e.g. the host flushed its queue mid-write), then
    // silence: it is dropped so the next frame is understood. After
    // resetInput (host closed the port) likewise.
    EXPECT_TRUE(m.receive(3.0, std::span(echo.data(), 20)).empty());
    EXPECT_EQ(single(m.receive(4.0, echo)), answer);
    EXPECT_EQ(m.bytesDiscarded(), 5 + 20);
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
    std::iota(w.begin(), w.end(), std::uint16_t{0xFF00});
    EXPECT_TRUE(Send(m, 0.0, sim::kCmdWriteRam, w).empty());
    EXPECT_EQ(Params(m), w);
    EXPECT_EQ(Params(m, sim::kCmdReadEeprom), factory) << "command 1 leaves the EEPROM alone";

    w = factory;
    w[sim::kTVal] = 4321;
    EXPECT_TRUE(Send(m, 0.0, sim::kCmdWriteEeprom, w).empty());
    EXPECT_EQ(Params(m, sim::kCmdReadEeprom), w);
    EXPECT_EQ(Params(m), w) << "command 3 writes RAM too";

    const std::tuple<const char*, int, int> factories[] = {
        {"type104", sim::kSlope, 512}, {"type1", sim::kVThd, 512}, {"type3", sim::kVThd, 128}};
    for (const auto& [preset, word, value] : factories) {
        EXPECT_EQ(sim::FactoryParameters(*sim::FindPreset(preset))[word], value) << preset;
    }
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
    EXPECT_EQ(ok.eeprom()[15], 16) << ok.eepromError();

    fs::remove(options.eepromPath);
    Words w{};
    {
        SensorModel a(options);
        EXPECT_TRUE(a.eepromError().empty()) << "no file yet is no fault";
        w = a.eeprom();
        w[sim::kVThd] = 700;
        w[sim::kTTol] = 65535;
        Send(a, 0.0, sim::kCmdWriteEeprom, w);
        // RAM-only writes do not reach the file.
        Words r = w;
        r[sim::kVThd] = 100;
        Send(a, 0.1, sim::kCmdWriteRam, r);
    }
    // That the file survives a restart, RAM boots from it and no temporary
    // file is left is checked on the running server by pty_client_test.py.
    SensorModel b(options);
    EXPECT_EQ(b.eeprom(), w) << b.eepromError();

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
        SensorModel m(PresetOptions(p.name.c_str()));
        const Words hw = Params(m, sim::kCmdHardware);
        EXPECT_EQ(std::vector<std::uint16_t>(hw.begin(), hw.begin() + 9),
                  (std::vector<std::uint16_t>{p.ccdtype, p.ccdmaxpixel, p.ccdresolution, p.pcbtype,
                                              p.ccdmaxpixelX8, p.ccdsubpixel, 0, p.ccdpixE,
                                              p.softversion}));
    }
    EXPECT_EQ(types, (std::set<int>{1, 2, 3, 4, 77, 101, 102, 103, 104}));
    EXPECT_EQ(sim::DefaultPreset().pcbtype, 100);
    EXPECT_EQ(sim::FindPreset("no-such-sensor"), nullptr);
}

// ---- the scene --------------------------------------------------------------------

TEST(SimModel, EdgesSitOnTheSceneAndTheVideoShowsTheShadow) {
    for (const char* preset : {"type2-res350", "type1", "type103", "type101"}) {
        SCOPED_TRACE(preset);
        SensorModel m(PresetOptions(preset));
        const double f = double(m.preset().ccdsubpixel) / m.preset().ccdmaxpixel;
        for (double t : {0.0, 3.0, 7.5}) {
            const RunAnswer r = RunAt(m, t);
            const auto ideal = m.sceneEdges(t);
            ASSERT_EQ(ideal.size(), 2u);
            EXPECT_EQ(r.edges, 2);
            EXPECT_NEAR(r.ledge, ideal[0], 2.5 * f);
            EXPECT_NEAR(r.redge, ideal[1], 2.5 * f);
            // Factory mode 1 measures the right edge; calibration is 1:1.
            EXPECT_EQ((std::array<std::uint32_t, 4>{r.mvalue, r.mvstart, r.mvend, r.um}),
                      (std::array<std::uint32_t, 4>{r.redge, r.ledge, r.redge, r.redge}));
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
    sim::ModelOptions o = PresetOptions("type1");
    o.scene.objects = 2;
    SensorModel m(o);
    const RunAnswer r = RunAt(m, 1.0);
    const auto ideal = m.sceneEdges(1.0);
    ASSERT_EQ(ideal.size(), 4u);
    EXPECT_EQ(r.edges, 4);
    EXPECT_NEAR(r.ledge, ideal.front(), 2.5);
    EXPECT_NEAR(r.redge, ideal.back(), 2.5);
    // A window around the big object alone sees only its two edges.
    m.setRamWord(sim::kEBeg, static_cast<std::uint16_t>((ideal[1] + ideal[2]) / 2));
    EXPECT_EQ(RunAt(m, 1.0).edges, 2);
}

TEST(SimModel, ThresholdAndWindowChangeWhatTheSensorReports) {
    SensorModel m(PresetOptions("type1"));
    const RunAnswer base = RunAt(m, 1.0);
    ASSERT_EQ(base.edges, 2);
    const auto with = [&](std::initializer_list<std::pair<int, int>> words) {
        for (const auto& [word, value] : words) {
            m.setRamWord(word, static_cast<std::uint16_t>(value));
        }
        return RunAt(m, 1.0);
    };
    // A dark object: a higher threshold takes in more of its blurred edges.
    const RunAnswer high = with({{sim::kVThd, 800}});
    EXPECT_LT(high.ledge, base.ledge);
    EXPECT_GT(high.redge, base.redge);
    // Above the lit background every pixel is "dark": no edge at all.
    EXPECT_EQ(with({{sim::kVThd, 1023}}).edges, 0);

    // Window starting inside the object: one rising edge, the lit side is
    // to the right, so the measured stretch runs to the window's end.
    RunAnswer one = with({{sim::kVThd, 512}, {sim::kEBeg, base.ledge + 20}, {sim::kEEnd, 1000}});
    EXPECT_EQ(std::tuple(one.edges, one.redge, one.mvend), std::tuple(1, one.ledge, 1000));
    EXPECT_NEAR(one.ledge, base.redge, 2);
    EXPECT_LT(one.mvstart, one.mvend);
    // Window ending inside the object: one falling edge, lit side left.
    one = with({{sim::kEBeg, 5}, {sim::kEEnd, base.redge - 20}});
    EXPECT_EQ(std::tuple(one.edges, one.mvend), std::tuple(1, 5));
    EXPECT_NEAR(one.ledge, base.ledge, 2);
    EXPECT_GE(one.mvstart, one.mvend);
    // An empty or inverted window finds nothing and measures 0.
    const RunAnswer none = with({{sim::kEBeg, 900}, {sim::kEEnd, 100}});
    EXPECT_EQ((std::array{none.edges, none.ledge, none.redge, none.mvalue}),
              (std::array<std::uint16_t, 4>{}));
    // Limits beyond the line are clipped to it, never read past the end.
    EXPECT_EQ(with({{sim::kEBeg, 0}, {sim::kEEnd, 65535}}).edges, 2);
}

TEST(SimModel, EvaluationModesTheCalibrationLineAndTeach) {
    SensorModel m(PresetOptions("type1"));
    const auto mode = [&](int eMode) {
        m.setRamWord(sim::kEMode, static_cast<std::uint16_t>(eMode));
        return RunAt(m, 2.0);
    };
    const RunAnswer r1 = mode(1);
    EXPECT_NEAR(mode(0).mvalue, r1.ledge, 2) << "same scene, fresh noise";
    const RunAnswer w = mode(2);
    EXPECT_EQ(w.mvalue, w.redge - w.ledge);
    RunAnswer c = mode(3);
    EXPECT_EQ(c.mvalue, (c.ledge + c.redge) / 2);

    // Calibration: store slope 2.0 and offset +100 um, then um = 2 M + 100.
    const auto calibrate = [&](const Words& words) {
        const Bytes a = Ask(m, 2.0, sim::kCmdCalibration, words);
        return std::pair{W(a, 0), W(a, 1)};
    };
    EXPECT_EQ(calibrate(Words{1}), std::pair(std::uint16_t{1024}, std::uint16_t{30000}));
    EXPECT_TRUE(m.calibrationActive());
    EXPECT_EQ(calibrate(Words{2, 2048, 30100}),
              std::pair(std::uint16_t{2048}, std::uint16_t{30100}));
    EXPECT_EQ(Params(m)[sim::kSlope], 2048);
    EXPECT_EQ(m.eeprom()[sim::kSlope], 1024) << "only RAM";
    c = RunAt(m, 2.0);
    EXPECT_EQ(c.um, 2u * c.mvalue + 100u);
    // A large value crosses into the high word.
    calibrate(Words{2, 65535, 65535});
    c = RunAt(m, 2.0);
    EXPECT_NEAR(double(c.um), 65535.0 / 1024 * c.mvalue + 35535, 1.0);
    EXPECT_GT(c.um, 65535u);
    // An offset that drives the value below zero reports 0, not a wrapped number.
    calibrate(Words{2, 1, 0});
    EXPECT_EQ(RunAt(m, 2.0).um, 0u);
    calibrate(Words{0});
    EXPECT_FALSE(m.calibrationActive());

    // Teach takes the measured value as set-point: in the answer, in RAM
    // and in the next run answer.
    const RunAnswer before = RunAt(m, 4.0);
    const Bytes a = Ask(m, 4.0, sim::kCmdTeach);
    ASSERT_EQ(a.size(), 36u);
    EXPECT_EQ((std::array{W(a, sim::kTVal), Params(m)[sim::kTVal], RunAt(m, 4.0).tval}),
              (std::array{before.mvalue, before.mvalue, before.mvalue}));
    // Nothing to measure: the set-point stays.
    m.setRamWord(sim::kVThd, 1023);
    Ask(m, 4.0, sim::kCmdTeach);
    EXPECT_EQ(Params(m)[sim::kTVal], before.mvalue);

    // Type 104 reads its slope with 512 = 1.0.
    SensorModel t104(PresetOptions("type104"));
    Ask(t104, 0.0, sim::kCmdCalibration, Words{2, 1024, 30000});
    const RunAnswer r = RunAt(t104, 0.0);
    EXPECT_EQ(r.um, 2u * r.mvalue);
}

TEST(SimModel, TheEdgesMoveSlowlyAndTheAnalogueExtremesFollowThemUntilReset) {
    SensorModel m; // board 100
    const std::uint16_t top = m.preset().ccdmaxpixelX8 - 1;
    const int ledge0 = RunAt(m, 0.0).ledge;
    EXPECT_LT(std::abs(ledge0 - RunAt(m, 0.05).ledge), 100) << "about 20 pixels a second at most";
    EXPECT_GT(std::abs(ledge0 - RunAt(m, 5.0).ledge), 400);
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
    EXPECT_EQ((std::array{W(a, 0), W(a, 1), m.anaMax(), m.anaMin()}),
              (std::array<std::uint16_t, 4>{0, top, 0, top}));

    // Board 200: command 11 is the video read and resets nothing. Board 0
    // resets like board 100; the other boards read like board 200.
    for (const auto& [preset, length] :
         {std::pair{"type2-res250", 512u}, {"type1", 36u}, {"type4", 512u}}) {
        SCOPED_TRACE(preset);
        SensorModel other(PresetOptions(preset));
        RunAt(other, 0.0);
        const std::uint16_t max = other.anaMax();
        EXPECT_GT(max, 0);
        EXPECT_EQ(Ask(other, 0.0, sim::kCmdAnalogReset).size(), length);
        EXPECT_EQ(other.anaMax(), length == 36u ? 0 : max);
    }
}

TEST(SimModel, VideoBlocksAgreeReachBeyondEightBitsAndFollowThePower) {
    SensorModel m(PresetOptions("type1")); // board 0, 10-bit video
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
    SensorModel a(PresetOptions("type1", 7)), b(PresetOptions("type1", 7)),
        c(PresetOptions("type1", 8));
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
        {{.lateSeconds = 1.6}, sim::kCmdEcho, 36},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        m.setFaults(c.faults);
        const auto out = Send(m, 1.0, c.command);
        EXPECT_EQ(out.empty() ? 0u : out.at(0).bytes.size(), c.length);
        if (!out.empty()) {
            const double late = c.faults.lateSeconds;
            EXPECT_DOUBLE_EQ(out[0].due, 1.0 + m.options().processingTime + late);
        }
    }

    m.setFaults(Faults{.silent = true});
    Send(m, 1.0, sim::kCmdWriteRam, Words{42});
    EXPECT_EQ(m.ram()[0], 42) << "a silent sensor still works";

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

#if !defined(_WIN32) // pseudo-terminals are POSIX
// ---- served on a pseudo-terminal ------------------------------------------------

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Reads until count bytes or `timeout` seconds without them.
Bytes ReadFor(int fd, std::size_t count, double timeout) {
    Bytes data;
    const double end = Now() + timeout;
    pollfd p{fd, POLLIN, 0};
    std::uint8_t buf[1024];
    while (data.size() < count &&
           ::poll(&p, 1, std::max(0, static_cast<int>((end - Now()) * 1000) + 1)) > 0) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        data.insert(data.end(), buf, buf + n);
    }
    return data;
}

// Writes one request and reads up to `expect` answer bytes within `timeout` seconds.
Bytes Exchange(int fd, int command, std::initializer_list<std::uint16_t> words, std::size_t expect,
               double timeout = 1.5) {
    ::tcflush(fd, TCIOFLUSH);
    const Bytes frame = SensorModel::commandFrame(command, words);
    EXPECT_EQ(::write(fd, frame.data(), frame.size()), 36);
    return ReadFor(fd, expect, timeout);
}

// Opens a pty or serial device as a raw client; -1 when it cannot.
int OpenRaw(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// Served on a link that replaces an old one and goes with the server, or
// on a real device.
TEST(SimPty, AnswersAtOnceOnALinkNeverOverAFileOrOnARealDeviceAndStopsOnce) {
    namespace fs = std::filesystem;
    const std::string link =
        (fs::temp_directory_path() / ("korven-sim-link-" + std::to_string(::getpid()))).string();
    fs::remove(link);
    fs::create_symlink("/nonexistent/old-target", link);
    sim::PtyServerOptions options;
    options.lineTiming = false;
    options.linkPath = link;
    sim::ModelOptions model;
    model.processingTime = 0.0;
    std::string error;
    {
        sim::PtyServer server(model, options);
        ASSERT_TRUE(server.start(&error)) << error;
        EXPECT_TRUE(server.running());
        EXPECT_EQ(server.path(), link);
        EXPECT_EQ(fs::read_symlink(link).string(), server.slavePath());
        const int fd = OpenRaw(link);
        ASSERT_GE(fd, 0) << link;
        // The answer's words and its time on the line are checked from
        // outside by pty_client_test.py. Paced, the first 64-sample block
        // alone would take 67 ms; four in that time are generous even on a
        // loaded machine.
        const double t0 = Now();
        for (const int start : {0, 64, 128, 192}) {
            const auto first = static_cast<std::uint16_t>(start);
            EXPECT_EQ(Exchange(fd, sim::kCmdVideo64, {first, start == 192}, 128).size(), 128u);
        }
        EXPECT_LT(Now() - t0, 4 * 128 * sim::kByteTime19200);

        server.withModel([](SensorModel& m) {
            m.faults().silent = true;
            return 0;
        });
        EXPECT_TRUE(Exchange(fd, sim::kCmdEcho, {}, 1, 0.3).empty());
        ::close(fd);
    } // the destructor stops the server
    EXPECT_FALSE(fs::is_symlink(link));

    // A regular file at the link's place is not touched.
    std::ofstream(link) << "keep me";
    sim::PtyServer server({}, options);
    EXPECT_FALSE(server.start(&error));
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
    std::ifstream in(link);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
    fs::remove(link);

    // A real serial device is served too, and a missing one named. Stand-in
    // for the device: the slave of a pty we open ourselves; the client
    // talks on its master.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    options = sim::PtyServerOptions{};
    options.devicePath = ::ptsname(master);
    {
        sim::PtyServer device({}, options);
        ASSERT_TRUE(device.start(&error)) << error;
        EXPECT_EQ(device.path(), options.devicePath);
        const Bytes frame = SensorModel::commandFrame(sim::kCmdEcho, {7});
        ASSERT_EQ(::write(master, frame.data(), frame.size()), 36);
        EXPECT_EQ(ReadFor(master, 36, 1.5), SensorModel::answerFrame(sim::kCmdEcho, {7}));
        device.stop();
        device.stop(); // a second stop does nothing
        EXPECT_FALSE(device.running());
    }
    ::close(master);
    options.devicePath = "/dev/no-such-serial-device";
    sim::PtyServer none({}, options);
    EXPECT_FALSE(none.start(&error));
    EXPECT_NE(error.find(options.devicePath), std::string::npos) << error;
}

// The program's --simulate paces the virtual line as a real one: 36 request
// and 36 answer bytes of ten bit times at 19200 baud, 37.5 ms, and the
// sensor's own time (with it, 25 run answers a second). --simulate-fast
// takes no line time.
TEST(SimPty, SimulatedLineRunsAtTheRealLinesRateUnlessFast) {
    const double frameTime = sim::kFrameBytes * sim::kByteTime19200;
    const struct {
        std::vector<std::string> args;
        bool fast;
        std::string preset;
    } cases[] = {{{"--simulate"}, false, ""}, {{"--simulate-fast", "type1"}, true, "type1"}};
    for (const auto& c : cases) {
        std::vector<std::string> words = {"korven-darir"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& w : words) {
            argv.push_back(w.data());
        }
        korven::program::Options options;
        ASSERT_EQ(
            korven::program::ParseArguments(static_cast<int>(argv.size()), argv.data(), options),
            -1);
        EXPECT_EQ(std::tuple(options.simulate, options.simulateFast, options.preset),
                  std::tuple(true, c.fast, c.preset));

        sim::PtyServer server({}, korven::program::SimulatedLine(options));
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
        const int fd = OpenRaw(server.path());
        ASSERT_GE(fd, 0);
        constexpr int kCycles = 5;
        const double t0 = Now();
        for (int k = 0; k < kCycles; ++k) {
            EXPECT_EQ(Exchange(fd, sim::kCmdRun, {}, 36).size(), 36u);
        }
        const double cycle = (Now() - t0) / kCycles;
        if (c.fast) {
            EXPECT_LT(cycle, frameTime);
        } else {
            EXPECT_GE(cycle, 2 * frameTime);
        }
        ::close(fd);
    }
}

#endif

} // namespace

namespace korven::test {
namespace {

using SimPeerTest = Bed;

// Every preset is identified, and its firmware text decoded, by the
// program's own link code.
TEST_F(SimPeerTest, TheProgramIdentifiesEachKindOfBoard) {
    // The window and the video graph's height each type gives are checked by
    // SensorTypes in test_link_line.cpp, board 100's pixE by
    // Commands.EachSensorStartsFromTheLayoutsControls.
    for (const sim::Preset& p : sim::Presets()) {
        SCOPED_TRACE(p.name);
        SimPeer sensor(p.name);
        LoadPanels();
        OpenLine(bed(), &sensor, 1);
        EXPECT_EQ(CheckComLine(1), 1);
        EXPECT_EQ(GetHARDWAREInfo(), 1);
        EXPECT_EQ(std::pair(pcbtype, ccdsubpixel), std::pair(p.pcbtype, p.ccdsubpixel));
        EXPECT_EQ(GetVERSIONInfo(), 72);
        EXPECT_EQ(Status(), p.firmware) << "both firmware codings decode";
        EXPECT_EQ(sensor.commands(), (std::vector<int>{CMD_ECHO, CMD_HARDWARE, CMD_FIRMWARE}));
        CloseCom(1);
    }
}

} // namespace
} // namespace korven::test
