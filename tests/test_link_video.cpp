// Video block reads: the requests on the line, the decoded samples, and the
// status line for whole, short, over-long and flooding blocks.
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"

#include <gtest/gtest.h>

#include <vector>

namespace korven {
namespace {

using rt::headless::ScriptedPeer;
using test::Bytes;
using test::LinePeer;
using test::Words;
namespace reply = test::reply;

constexpr double kByteTime = 10.0 / 19200;

// Samples value(start + i) as a raw block.
Bytes Samples(int start, int count, int scale = 3) {
    Words words;
    for (int i = 0; i < count; ++i) {
        words.push_back(static_cast<u16>((start + i) * scale + 1));
    }
    return test::WordBytes(words);
}

class VideoBlocks : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        test::OpenLine(bed(), &peer, 1);
        // The video loop silences the notification around the block reads.
        SilenceRxNotification();
    }
    LinePeer peer;
};

TEST_F(VideoBlocks, FourRequestsOfOneLineAndTheirSamples) {
    for (int k = 0; k < PNUM; ++k) {
        pp[k] = 0xABCD; // the requests carry their own words, not the packet
    }
    for (int start : {0, 64, 128, 192}) {
        peer.send(Samples(start, 64));
    }
    EXPECT_EQ(ReadData64(0, 0), 1);
    EXPECT_EQ(ReadData64(64, 0), 1);
    EXPECT_EQ(ReadData64(128, 0), 1);
    EXPECT_EQ(ReadData64(192, 1), 1);
    EXPECT_EQ(Status(), "Data[64] block received!");

    ASSERT_EQ(peer.frames().size(), 4u);
    const int starts[] = {0, 64, 128, 192};
    const int flags[] = {0, 0, 0, 1};
    for (std::size_t n = 0; n < 4; ++n) {
        const auto& frame = peer.frames()[n];
        EXPECT_EQ(frame[1], 0x55);
        EXPECT_EQ(ScriptedPeer::commandOf(frame), 9);
        EXPECT_EQ(ScriptedPeer::wordOf(frame, 0), starts[n]);
        EXPECT_EQ(ScriptedPeer::wordOf(frame, 1), flags[n]);
        for (int k = 2; k < PNUM; ++k) {
            EXPECT_EQ(ScriptedPeer::wordOf(frame, k), 0) << "request " << n << " word " << k;
        }
    }
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(adcbuf[i], i * 3 + 1) << "sample " << i;
    }
    EXPECT_EQ(pp[0], 0xABCD);
}

TEST_F(VideoBlocks, BlockBytesGoToTheRequestedSamples) {
    Bytes block(128, 0);
    block[0] = 0x03;
    block[1] = 0xE8;
    block[126] = 0xFF;
    block[127] = 0xFF;
    peer.send(block);
    ReadData64(128, 0);
    EXPECT_EQ(adcbuf[128], 1000);
    EXPECT_EQ(adcbuf[191], 65535);
    EXPECT_EQ(adcbuf[127], 0);
    EXPECT_EQ(adcbuf[192], 0);
}

TEST_F(VideoBlocks, FullLineRequestIsAllZeroWordsWhateverCameBefore) {
    for (int k = 0; k < PNUM; ++k) {
        pp[k] = 0x7777;
    }
    peer.send(Samples(64, 64)); // a 64-block request first leaves words behind
    ReadData64(64, 1);
    peer.send(Samples(0, 256, 5));
    EXPECT_EQ(ReadData256(), 1);
    EXPECT_EQ(Status(), "Data[256] block received!");
    ASSERT_EQ(peer.frames().size(), 2u);
    const auto& frame = peer.frames()[1];
    EXPECT_EQ(ScriptedPeer::commandOf(frame), 11);
    for (int k = 0; k < PNUM; ++k) {
        EXPECT_EQ(ScriptedPeer::wordOf(frame, k), 0) << "word " << k;
    }
    EXPECT_EQ(adcbuf[0], 1);
    EXPECT_EQ(adcbuf[255], 255 * 5 + 1);
}

TEST_F(VideoBlocks, ShortBlockKeepsTheOldBufferTailForTheMissingSamples) {
    // What an earlier exchange left in the read buffer.
    for (int b = 0; b < kBufLen; ++b) {
        szReadBuf[b] = static_cast<unsigned char>(b & 0xFF);
    }
    peer.send(Bytes(100, 0x11));
    EXPECT_EQ(ReadData64(64, 0), 1);
    EXPECT_EQ(Status(), "Timeout-RS-232 while reading 64 data-words!");
    EXPECT_EQ(nBytesR, 100);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(adcbuf[64 + i], 0x1111) << "sample " << 64 + i;
    }
    for (int i = 50; i < 64; ++i) {
        EXPECT_EQ(adcbuf[64 + i], (2 * i) * 256 + 2 * i + 1) << "sample " << 64 + i;
    }
}

TEST_F(VideoBlocks, SilentSensorTimesOutForTheFullLine) {
    const double begin = bed().now();
    EXPECT_EQ(ReadData256(), 1);
    EXPECT_EQ(Status(), "Timeout-RS-232 while reading 256 data-words!");
    EXPECT_GT(bed().now() - begin, TIMEOUT);
    EXPECT_EQ(nBytesR, 0);
}

TEST_F(VideoBlocks, ExtraBytesAreReadButTheBlockIsNotReportedReceived) {
    bed().options().byteTime = 0.0; // the block and its tail arrive together
    SetStatusText("Timeout RS232-Line!");
    Bytes bytes = Samples(0, 64);
    bytes.insert(bytes.end(), {0xEE, 0xEE, 0xEE});
    peer.send(bytes);
    EXPECT_EQ(ReadData64(0, 0), 1);
    EXPECT_EQ(nBytesR, 131);
    EXPECT_EQ(Status(), "Timeout RS232-Line!");
    EXPECT_EQ(adcbuf[0], 1);
    EXPECT_EQ(adcbuf[63], 63 * 3 + 1);
    EXPECT_EQ(adcbuf[64], 0); // the extra bytes go nowhere
}

TEST_F(VideoBlocks, FloodIsReadOnlyUpToTheBufferSize) {
    bed().options().byteTime = 0.0;
    SetStatusText("previous");
    Bytes bytes = Samples(0, 256, 7);
    bytes.resize(3000, 0x5A);
    peer.send(bytes);
    EXPECT_EQ(ReadData256(), 1);
    EXPECT_EQ(nBytesR, kBufLen);
    EXPECT_EQ(Status(), "previous");
    EXPECT_EQ(adcbuf[255], 255 * 7 + 1);
    // The next exchange starts with an empty queue.
    peer.send(Samples(0, 256, 2));
    EXPECT_EQ(ReadData256(), 1);
    EXPECT_EQ(Status(), "Data[256] block received!");
    EXPECT_EQ(adcbuf[255], 255 * 2 + 1);
}

TEST_F(VideoBlocks, BlockCompletingInThePassThatRunsOutOfTimeIsReceived) {
    // Event passes of 0.5 s with no time spent in Timer: the wait's passes
    // end 0.5, 1.0, 1.5 and 2.0 s after the request.
    bed().options().passStep = 0.5;
    bed().options().timerTick = 0.0;
    peer.then([](const std::vector<std::uint8_t>&, double, rt::headless::PeerLink& link) {
        link.send(tstart + 1.75 - 128 * kByteTime, Samples(0, 64));
    });
    EXPECT_EQ(ReadData64(0, 0), 1);
    EXPECT_GT(tdiff, TIMEOUT);
    EXPECT_EQ(Status(), "Data[64] block received!");
    EXPECT_EQ(adcbuf[10], 31);
}

} // namespace
} // namespace korven
