// Decoding what the sensor says about itself and what it measures: any
// hardware description, any firmware block of any length and any run
// answer give a terminated status and version text, increasing sample
// positions, a cursor on the line and a drawable edge graph, video curve
// and strip chart.
#include "fuzz_support.h"

#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

using namespace korven;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    std::vector<std::uint8_t> description = data.ConsumeBytes<std::uint8_t>(36);
    description.resize(36, 0);
    if (data.ConsumeBool()) { // mostly a description the program accepts
        description[0] = 0x00;
        description[1] = 0xAA;
        description[2] = 0;
        description[3] = CMD_HARDWARE;
    }
    const auto firmwareLength =
        data.ConsumeBool() ? std::size_t{72} : data.ConsumeIntegralInRange<std::size_t>(0, 200);
    std::vector<std::uint8_t> firmware = data.ConsumeBytes<std::uint8_t>(firmwareLength);
    firmware.resize(firmwareLength, 0);

    // The peer outlives the program (see fuzz_answers.cpp). It answers the
    // hardware request with one 36-byte block and the firmware request with
    // one block of any length, both at once.
    rt::headless::ScriptedPeer peer;
    peer.setHandler(
        [&](const std::vector<std::uint8_t>& frame, double end, rt::headless::PeerLink& link) {
            const int command = rt::headless::ScriptedPeer::commandOf(frame);
            if (command == CMD_HARDWARE) {
                link.send(end, description);
            } else if (command == CMD_FIRMWARE) {
                link.send(end, firmware);
            }
        });
    fuzz::Program program;
    auto& bed = program.bed();
    program.connect(&peer);

    const u16 pixBBefore = pixB;
    const int accepted = GetHARDWAREInfo();
    // Taken only when aligned on the answer sync word and echoing its command.
    KORVEN_FUZZ_CHECK(accepted == (description[0] == 0x00 && description[1] == 0xAA &&
                                           description[2] == 0 && description[3] == CMD_HARDWARE
                                       ? 1
                                       : 0));
    if (accepted == 1) {
        static const int kLines[] = {512, 768, 1024, 1280, 1536, 2048, 256};
        KORVEN_FUZZ_CHECK(std::find(std::begin(kLines), std::end(kLines), ccdmaxpixel) !=
                          std::end(kLines));
        KORVEN_FUZZ_CHECK(pixB == 1 || pixB == pixBBefore);
        for (int i = 1; i < 256; ++i) {
            KORVEN_FUZZ_CHECK(xArray[i] > xArray[i - 1] && xArray8[i] > xArray8[i - 1]);
        }
        KORVEN_FUZZ_CHECK(YAXISMAX == 256 || YAXISMAX == 1024);
    }
    fuzz::CheckNotification(bed);

    SetStatusText("previous text");
    const int waiting = GetVERSIONInfo();
    KORVEN_FUZZ_CHECK(waiting >= 0);
    fuzz::CheckStatus();
    fuzz::CheckNotification(bed);
    if (nBytesR == 72) {
        if (pcbtype == 0) {
            KORVEN_FUZZ_CHECK(std::strlen(szVersion) <= 36);
            KORVEN_FUZZ_CHECK(std::strcmp(szStatus, szVersion) == 0);
        } else {
            const std::size_t n = std::min<std::size_t>(
                71, strnlen(reinterpret_cast<const char*>(firmware.data()), 72));
            KORVEN_FUZZ_CHECK(std::string(szStatus) ==
                              std::string(reinterpret_cast<const char*>(firmware.data()), n));
        }
    } else {
        KORVEN_FUZZ_CHECK(std::strcmp(szStatus, "previous text") == 0 ||
                          std::strcmp(szStatus, "Timeout - reading firmware info!") == 0);
    }

    // A run answer drawn with that description.
    for (int k = 0; k < PNUM; ++k) {
        pp[k] = data.ConsumeIntegral<u16>();
    }
    TakeRunAnswer();
    eMode = data.ConsumeIntegralInRange<u16>(0, 4);
    anaMode = data.ConsumeIntegralInRange<u16>(0, 9);
    for (u16& sample : adcbuf) {
        sample = data.ConsumeIntegral<u16>();
    }
    PlotVIDEOBarGraph();
    PlotRAWGraphX8();
    PlotVIDEOCurve(adcbuf, xArray8);

    const auto& edges = bed.graph(pHandle, PANEL_GRAPH_EDGES);
    KORVEN_FUZZ_CHECK(edges.cursors[0].placed);
    KORVEN_FUZZ_CHECK(edges.cursors[0].x <= std::max<double>(1, ccdsubpixel));
    for (const auto& plot : edges.plots) {
        KORVEN_FUZZ_CHECK(std::isfinite(plot.x1) && std::isfinite(plot.x2));
    }
    for (const double v : bed.graph(pHandle, PANEL_GRAPH_RAW).lastStripData) {
        KORVEN_FUZZ_CHECK(std::isfinite(v));
    }
    KORVEN_FUZZ_CHECK(bed.graph(pHandle, PANEL_GRAPH_VIDEO).plots.size() == 2);

    // And the parameter set shown with it.
    SetPanelValues();
    fuzz::CheckRepairedRanges();
    return 0;
}
