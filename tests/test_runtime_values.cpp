// Value conversions, the engine's array conversions and the scripted
// peer's frame helpers.
#include "runtime/headless/headless.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using korven::rt::Value;
using korven::rt::headless::ScriptedPeer;

TEST(Values, IntegerViewTruncatesAndSaturates) {
    EXPECT_EQ(Value::ofDouble(2.9).asInt(), 2);
    EXPECT_EQ(Value::ofDouble(-2.9).asInt(), -2);
    EXPECT_EQ(Value::ofDouble(1e300).asInt(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(Value::ofDouble(-1e300).asInt(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(Value::ofDouble(std::nan("")).asInt(), 0);
    EXPECT_EQ(Value::ofDouble(INFINITY).asInt(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(Value::ofText("123").asInt(), 0);
    EXPECT_EQ(Value::ofText("1.5").asDouble(), 0.0);
    EXPECT_EQ(Value::ofInt(-7).asDouble(), -7.0);
    EXPECT_EQ(Value::ofInt(65535).asText(), "65535");
    EXPECT_EQ(Value::ofDouble(0.25).asText(), "0.25");
}

TEST(Values, ArrayConversionsRefuseBadArguments) {
    korven::rt::headless::ScopedHeadless scope;
    // Bad counts and missing arrays fail before anything is read.
    const short data[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_LT(PlotStripChart(1, 1, data, 3, 0, 1, VAL_SHORT_INTEGER), 0);
    EXPECT_LT(PlotStripChart(1, 1, data, -1, 0, 0, VAL_SHORT_INTEGER), 0);
    EXPECT_LT(PlotStripChart(1, 1, nullptr, 2, 0, 0, VAL_SHORT_INTEGER), 0);
    EXPECT_LT(PlotXY(1, 1, nullptr, nullptr, 0, VAL_DOUBLE, VAL_DOUBLE, 0, 0, 0, 1, 0), 0);
}

TEST(Values, AnswerFramesAreBigEndianWords) {
    const auto frame = ScriptedPeer::answer(0x00AA, 10, {0x0102, 0xFFFF});
    ASSERT_EQ(frame.size(), 36u);
    EXPECT_EQ(frame[0], 0x00);
    EXPECT_EQ(frame[1], 0xAA);
    EXPECT_EQ(ScriptedPeer::commandOf(frame), 10);
    EXPECT_EQ(ScriptedPeer::wordOf(frame, 0), 0x0102);
    EXPECT_EQ(ScriptedPeer::wordOf(frame, 1), 0xFFFF);
    EXPECT_EQ(ScriptedPeer::wordOf(frame, 15), 0);
    EXPECT_EQ(ScriptedPeer::wordOf(frame, 16), 0) << "outside the frame";
    EXPECT_EQ(ScriptedPeer::wordOf(frame, -1), 0);
    EXPECT_EQ(ScriptedPeer::commandOf({1, 2}), -1);
    // More than 16 words: the rest does not fit and is left out.
    EXPECT_EQ(ScriptedPeer::answer(0xAA, 1, std::vector<std::uint16_t>(20, 1)).size(), 36u);
}

TEST(Values, ScriptedPeerCutsFramesAcrossPieces) {
    korven::rt::headless::ScopedHeadless scope;
    auto& bed = scope.bed();
    std::vector<double> ends;
    ScriptedPeer peer([&](const std::vector<std::uint8_t>&, double end,
                          korven::rt::headless::PeerLink&) { ends.push_back(end); });
    bed.attachPeer(3, &peer);
    ASSERT_EQ(OpenComConfig(3, "", 19200, 0, 8, 1, 4096, 4096), 0);
    const std::vector<char> bytes(50, 'a');
    ComWrt(3, bytes.data(), 20);
    Delay(0.5);
    ComWrt(3, bytes.data(), 50);
    Delay(0.5);
    ASSERT_EQ(peer.frames().size(), 1u);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_NEAR(ends[0], 0.5 + 16 * 10.0 / 19200, 1e-9) << "the frame ends with its 36th byte";
    CloseCom(3);
    ASSERT_EQ(OpenComConfig(3, "", 19200, 0, 8, 1, 4096, 4096), 0);
    ComWrt(3, bytes.data(), 36);
    Delay(0.5);
    EXPECT_EQ(peer.frames().size(), 2u) << "a close drops the partial frame";
}

} // namespace
