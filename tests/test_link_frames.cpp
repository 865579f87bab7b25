// Command frames, answer frames and the parameter packet.
#include "link/com232.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace korven {
namespace {

class LinkFrames : public ::testing::Test {
  protected:
    void SetUp() override { ResetAllGlobals(); }
};

std::vector<int> WrittenBytes(int count) {
    return std::vector<int>(szWriteBuf, szWriteBuf + count);
}

TEST_F(LinkFrames, CommandFrameIsSyncCommandAndWordsHighByteFirst) {
    for (int k = 0; k < PNUM; ++k) {
        pp[k] = static_cast<u16>(0x1234 + 0x0101 * k);
    }
    pp[15] = 0xFFFE;
    szWriteBuf[36] = 0xC3; // beyond the frame: must stay
    FillTxBuf(10, pp);

    std::vector<int> expected = {0x00, 0x55, 0x00, 0x0A};
    for (int k = 0; k < PNUM; ++k) {
        expected.push_back(pp[k] >> 8);
        expected.push_back(pp[k] & 0xFF);
    }
    EXPECT_EQ(WrittenBytes(36), expected);
    EXPECT_EQ(szWriteBuf[4], 0x12);
    EXPECT_EQ(szWriteBuf[5], 0x34);
    EXPECT_EQ(szWriteBuf[34], 0xFF);
    EXPECT_EQ(szWriteBuf[35], 0xFE);
    EXPECT_EQ(szWriteBuf[36], 0xC3);
}

TEST_F(LinkFrames, AnswerWordsAreUnpackedWhateverTheFirstFourBytesHold) {
    const std::array<std::array<unsigned char, 4>, 3> heads = {
        {{0x00, 0xAA, 0x00, 0x02}, {0xFF, 0xFF, 0xFF, 0xFF}, {0x12, 0x34, 0x56, 0x78}}};
    for (const auto& head : heads) {
        std::copy(head.begin(), head.end(), szReadBuf);
        for (int k = 0; k < PNUM; ++k) {
            szReadBuf[4 + 2 * k] = static_cast<unsigned char>(k);
            szReadBuf[5 + 2 * k] = static_cast<unsigned char>(0xF0 + k);
        }
        szReadBuf[4] = 0xFF;
        szReadBuf[5] = 0xFE;
        GetRxBuf(PNUM);
        EXPECT_EQ(pp[0], 65534);
        for (int k = 1; k < PNUM; ++k) {
            EXPECT_EQ(pp[k], k * 256 + 0xF0 + k) << "word " << k;
        }
    }
}

TEST_F(LinkFrames, PacketWordsFollowTheParameterOrderBothWays) {
    u16* const globals[PNUM] = {&power, &rs232Mode, &vThd,    &anaMode, &polarity, &eMode,
                                &eBeg,  &eEnd,      &tVal,    &tTol,    &opMode,   &eHardware,
                                &slope, &intersect, &average, &deltaTol};
    for (int k = 0; k < PNUM; ++k) {
        *globals[k] = static_cast<u16>(1000 * (k + 1) + 7);
    }
    CopyVarsToPP();
    EXPECT_EQ(pp[2], vThd);
    EXPECT_EQ(pp[12], slope);
    EXPECT_EQ(pp[13], intersect);
    EXPECT_EQ(pp[15], deltaTol);

    // Round trip through the packet and the wire leaves every global as it was.
    FillTxBuf(2, pp);
    std::copy(szWriteBuf, szWriteBuf + 36, szReadBuf);
    for (int k = 0; k < PNUM; ++k) {
        pp[k] = 0;
        *globals[k] = 0;
    }
    GetRxBuf(PNUM);
    CopyPPtoVars();
    for (int k = 0; k < PNUM; ++k) {
        EXPECT_EQ(*globals[k], 1000 * (k + 1) + 7) << "word " << k;
    }
}

} // namespace
} // namespace korven
