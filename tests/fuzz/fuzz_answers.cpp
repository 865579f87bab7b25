// The answer path: whatever bytes come back, in whatever pieces and at
// whatever times, every exchange ends, keeps its buffers, leaves a
// terminated status text and the receive notification installed, and a
// read-back leaves the parameters in their repaired ranges.
//
// Input: a few bytes choose the sensor description the program believes in
// and a sequence of up to four exchanges; the rest feeds the peer's answers.
#include "fuzz_support.h"

#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"

#include <cmath>

namespace {

using namespace korven;
using korven::fuzz::FuzzPeer;

enum Exchange : int {
    kGetRam,
    kGetEeprom,
    kLineCheck,
    kHardware,
    kFirmware,
    kBlocks64,
    kBlock256,
    kRun,
    kVideo,
    kConnect,
    kExchanges
};

// The loops run until the operator stops them (or the line goes quiet).
void StopAfter(rt::headless::HeadlessBackend& bed, double seconds) {
    bed.at(bed.now() + seconds, [&bed] { bed.click(pHandle, PANEL_BTNStop); });
}

void RunExchange(Exchange exchange, FuzzedDataProvider& data, FuzzPeer& peer,
                 rt::headless::HeadlessBackend& bed) {
    const int before = peer.requests();
    switch (exchange) {
    case kGetRam:
    case kGetEeprom:
        PushGET(exchange == kGetRam ? RAM : EEPROM);
        fuzz::CheckRepairedRanges();
        break;
    case kLineCheck: {
        const int result = CheckComLine(com);
        KORVEN_FUZZ_CHECK(result == 0 || result == 1);
        if (result == 1) {
            KORVEN_FUZZ_CHECK(pp[0] == kAnswerSync);
        }
        break;
    }
    case kHardware: {
        const int result = GetHARDWAREInfo();
        KORVEN_FUZZ_CHECK(result == 0 || result == 1);
        if (result == 1) {
            for (int i = 1; i < 256; ++i) {
                KORVEN_FUZZ_CHECK(std::isfinite(xArray8[i]) && xArray8[i] > xArray8[i - 1]);
                KORVEN_FUZZ_CHECK(std::isfinite(xArray[i]) && xArray[i] > xArray[i - 1]);
            }
        }
        break;
    }
    case kFirmware:
        KORVEN_FUZZ_CHECK(GetVERSIONInfo() >= 0);
        KORVEN_FUZZ_CHECK(nBytesR >= 0 && nBytesR <= kBufLen);
        KORVEN_FUZZ_CHECK(rx_flag == 0);
        break;
    case kBlocks64:
    case kBlock256:
        // As the video loop does it: the notification is silenced around
        // the raw blocks.
        SilenceRxNotification();
        if (exchange == kBlocks64) {
            const int start = data.ConsumeIntegralInRange<int>(-64, 320);
            KORVEN_FUZZ_CHECK(ReadData64(start, data.ConsumeBool() ? 1 : 0) == 1);
        } else {
            KORVEN_FUZZ_CHECK(ReadData256() == 1);
        }
        KORVEN_FUZZ_CHECK(nBytesR >= 0 && nBytesR <= kBufLen);
        InstallRxNotification();
        break;
    case kRun:
    case kVideo:
        StopAfter(bed, data.ConsumeIntegralInRange<int>(0, 3000) / 1000.0);
        bed.pressKey(pHandle, exchange == kRun ? PANEL_BTNRun : PANEL_BTNVideo);
        fuzz::CheckLoopEnded(bed);
        break;
    case kConnect:
        InitRS232(1);
        if (peer.askedFor(CMD_READ_RAM, before)) {
            fuzz::CheckRepairedRanges();
        }
        break;
    default:
        break;
    }
    fuzz::CheckStatus();
    fuzz::CheckNotification(bed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    // The peer outlives the program: whatever is still on the line when the
    // input ends is delivered before the program lets go of it.
    FuzzPeer peer(data);
    fuzz::Program program;
    auto& bed = program.bed();

    // The sensor the program believes it talks to: any description a
    // hardware answer can leave behind.
    if (data.ConsumeBool()) {
        pcbtype = data.ConsumeIntegral<u16>();
        ccdtype = data.ConsumeIntegral<u16>();
        ccdmaxpixelX8 = data.ConsumeIntegral<u16>();
        ccdsubpixel = data.ConsumeIntegral<u16>();
        ccdpixE = data.ConsumeIntegral<u16>();
        pixB = data.ConsumeIntegral<u16>();
        pixE = data.ConsumeIntegral<u16>();
        YAXISMAX = data.ConsumeIntegral<u16>();
    }
    const int count = data.ConsumeIntegralInRange<int>(1, 4);
    std::vector<Exchange> exchanges;
    for (int i = 0; i < count; ++i) {
        exchanges.push_back(
            static_cast<Exchange>(data.ConsumeIntegralInRange<int>(0, kExchanges - 1)));
    }

    program.connect(&peer);
    for (const Exchange exchange : exchanges) {
        RunExchange(exchange, data, peer, bed);
    }
    return 0;
}
