// The device link: frames and parameter packet, receive notification and
// line check, identification, video blocks, parameter file, port set-up.
#include "link/com232.h"

namespace korven {

// ---- Frames and packet -------------------------------------------------
// Every quantity on the wire is a 16-bit word, high byte first.

void FillTxBuf(int command, const u16* words) {
    const auto cmd = static_cast<u16>(command);
    szWriteBuf[0] = static_cast<unsigned char>((sync >> 8) & 0xFF);
    szWriteBuf[1] = static_cast<unsigned char>(sync & 0xFF);
    szWriteBuf[2] = static_cast<unsigned char>(cmd >> 8);
    szWriteBuf[3] = static_cast<unsigned char>(cmd & 0xFF);
    for (int k = 0; k < PNUM; ++k) {
        szWriteBuf[4 + 2 * k] = static_cast<unsigned char>(words[k] >> 8);
        szWriteBuf[5 + 2 * k] = static_cast<unsigned char>(words[k] & 0xFF);
    }
}

void GetRxBuf(int n) {
    n = n < 0 ? 0 : (n > PNUM ? PNUM : n);
    for (int k = 0; k < n; ++k) {
        pp[k] = static_cast<u16>(szReadBuf[4 + 2 * k] * 256 + szReadBuf[5 + 2 * k]);
    }
}

namespace {
// The parameter global behind each packet word, in packet order.
u16* const kPacketWords[PNUM] = {&power, &rs232Mode, &vThd,    &anaMode,   &polarity, &eMode,
                                 &eBeg,  &eEnd,      &tVal,    &tTol,      &opMode,   &eHardware,
                                 &slope, &intersect, &average, &deltaTol};
} // namespace

void CopyVarsToPP() {
    for (int k = 0; k < PNUM; ++k) {
        pp[k] = *kPacketWords[k];
    }
}

void CopyPPtoVars() {
    for (int k = 0; k < PNUM; ++k) {
        *kPacketWords[k] = pp[k];
    }
}

} // namespace korven
