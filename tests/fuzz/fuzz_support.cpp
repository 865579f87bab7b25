#include "fuzz_support.h"

#include "app/KORVENDarir23.h"
#include "app/registry.h"
#include "link/com232.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace korven::fuzz {

void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}

FuzzPeer::FuzzPeer(FuzzedDataProvider& data) : data_(data) {
    setHandler(
        [this](const std::vector<std::uint8_t>&, double frameEnd, rt::headless::PeerLink& link) {
            const int pieces = data_.ConsumeIntegralInRange<int>(0, 4);
            for (int i = 0; i < pieces && data_.remaining_bytes() > 0; ++i) {
                const double delay = data_.ConsumeIntegralInRange<int>(0, 1700) / 1000.0;
                const auto length = data_.ConsumeIntegralInRange<std::size_t>(0, 600);
                const std::vector<std::uint8_t> bytes = data_.ConsumeBytes<std::uint8_t>(length);
                link.send(frameEnd + delay, bytes);
            }
        });
}

bool FuzzPeer::askedFor(int command, int from) const {
    const auto& all = frames();
    for (std::size_t i = static_cast<std::size_t>(std::max(0, from)); i < all.size(); ++i) {
        if (commandOf(all[i]) == command) {
            return true;
        }
    }
    return false;
}

namespace {

// Inputs served by one back end before a fresh one is made; keeps the
// back end's own logs (writes, notifications, dialogues) small.
constexpr int kInputsPerBackend = 256;

struct Shared {
    std::unique_ptr<rt::headless::HeadlessBackend> bed;
    int inputs = 0;
    int mainPanel = 0;
    int popup = 0;
    rt::headless::PanelState mainState;
    rt::headless::PanelState popupState;
};

Shared& TheShared() {
    static Shared shared;
    return shared;
}

} // namespace

Program::Program() {
    Shared& s = TheShared();
    ResetAllGlobals();
    if (!s.bed || s.inputs >= kInputsPerBackend) {
        rt::SetBackend(nullptr);
        rt::headless::HeadlessOptions options;
        options.projectDir = KORVEN_SOURCE_DIR "/app";
        s.bed = std::make_unique<rt::headless::HeadlessBackend>(options);
        s.inputs = 0;
        rt::SetBackend(s.bed.get());
        rt::SetLayoutRegistry(&KorvenLayoutRegistry());
        s.mainPanel = LoadPanel(0, "KORVENDarir23.uir", PANEL);
        s.popup = LoadPanel(0, "KORVENDarir23.uir", POPUP);
        if (s.mainPanel <= 0 || s.popup <= 0) {
            Fail("the layout file loads", __FILE__, __LINE__);
        }
        s.mainState = *s.bed->panel(s.mainPanel);
        s.popupState = *s.bed->panel(s.popup);
    } else {
        *s.bed->panel(s.mainPanel) = s.mainState;
        *s.bed->panel(s.popup) = s.popupState;
    }
    ++s.inputs;
    pHandle = s.mainPanel;
    pPopup = s.popup;
    InitVars();
}

Program::~Program() {
    Shared& s = TheShared();
    // Run out what the input left scheduled or on the line, then let go of
    // its peer, which dies with the input.
    s.bed->setEventLoopLimit(30.0);
    RunUserInterface();
    s.bed->attachPeer(1, nullptr);
    s.bed->clearWrites(1);
}

rt::headless::HeadlessBackend& Program::bed() {
    return *TheShared().bed;
}

void Program::connect(rt::headless::SerialPeer* peer) {
    bed().attachPeer(1, peer);
    if (OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096) < 0) {
        Fail("port 1 opens", __FILE__, __LINE__);
    }
    com = 1;
    InstallRxNotification();
}

void CheckStatus() {
    KORVEN_FUZZ_CHECK(std::memchr(szStatus, '\0', kStatusLen) != nullptr);
    KORVEN_FUZZ_CHECK(std::memchr(szVersion, '\0', sizeof szVersion) != nullptr);
}

void CheckNotification(rt::headless::HeadlessBackend& bed) {
    KORVEN_FUZZ_CHECK(bed.notificationInstalled(com));
    KORVEN_FUZZ_CHECK(bed.notificationMask(com) == eventMask);
    KORVEN_FUZZ_CHECK(bed.notificationCount(com) == kFrameBytes);
}

void CheckRepairedRanges() {
    const int maxX8 = std::max<int>(1, ccdmaxpixelX8);
    // Before a sensor has told its line length, the window and the delta
    // tolerance keep what they were given (only their lower ends are repaired).
    const int maxSub = ccdsubpixel != 0 ? static_cast<int>(ccdsubpixel) : 65535;
    KORVEN_FUZZ_CHECK(power <= 1000);
    KORVEN_FUZZ_CHECK(rs232Mode <= 1);
    KORVEN_FUZZ_CHECK(vThd >= 50 && vThd <= 950);
    KORVEN_FUZZ_CHECK(anaMode <= 7);
    KORVEN_FUZZ_CHECK(polarity <= 1);
    KORVEN_FUZZ_CHECK(eMode <= 4);
    KORVEN_FUZZ_CHECK(tTol >= 1 && tTol <= maxX8);
    KORVEN_FUZZ_CHECK(deltaTol >= 1 && deltaTol <= maxSub);
    KORVEN_FUZZ_CHECK(eBeg <= maxSub);
    KORVEN_FUZZ_CHECK(eEnd >= 1 && eEnd <= maxSub);
    KORVEN_FUZZ_CHECK(eHardware <= 3);
    KORVEN_FUZZ_CHECK(average <= 1024);
    KORVEN_FUZZ_CHECK(slope <= 65534);
    KORVEN_FUZZ_CHECK(intersect <= 60000);
    for (const u16 level : thdArray) {
        KORVEN_FUZZ_CHECK(level == vThd);
    }
}

void CheckLoopEnded(rt::headless::HeadlessBackend& bed) {
    KORVEN_FUZZ_CHECK(stop_flag == 1);
    KORVEN_FUZZ_CHECK(!bed.isDimmed(pHandle, PANEL_LOOPLOCK_A));
    KORVEN_FUZZ_CHECK(!bed.isDimmed(pHandle, PANEL_LOOPLOCK_B));
    CheckNotification(bed);
}

} // namespace korven::fuzz
