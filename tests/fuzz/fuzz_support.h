// Shared by the fuzz targets: a fresh headless program per input (panels
// loaded, defaults stored, port 1 open to a peer), a peer that answers every
// request with fuzz bytes in pieces at fuzz-chosen times, and the
// invariants every target checks.
#pragma once

#include "runtime/headless/headless.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

namespace korven::fuzz {

// Stops the fuzzer with a message when an invariant does not hold.
[[noreturn]] void Fail(const char* what, const char* file, int line);
#define KORVEN_FUZZ_CHECK(cond)                                                                    \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            ::korven::fuzz::Fail(#cond, __FILE__, __LINE__);                                       \
        }                                                                                          \
    } while (0)

// Answers each 36-byte request with up to four pieces taken from the fuzz
// data: each piece a delay (0 to 1.7 s after the request) and up to 600
// bytes. When the data runs out, the peer falls silent.
class FuzzPeer : public rt::headless::ScriptedPeer {
  public:
    explicit FuzzPeer(FuzzedDataProvider& data);
    int requests() const { return static_cast<int>(frames().size()); }
    // Command words of the requests received since index `from`.
    bool askedFor(int command, int from) const;

  private:
    FuzzedDataProvider& data_;
};

// One program instance on the headless back end, fresh for each input:
// clean globals, panels as loaded from the layout file, start-up values.
// Loading the layout is by far the slowest step, so one back end serves a
// batch of inputs: its panels are put back from a copy taken right after
// loading, and whatever an input left scheduled or on the line is run out
// when the input ends.
class Program {
  public:
    Program();
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    rt::headless::HeadlessBackend& bed();
    // Opens port 1 to the peer as the connection sequence does.
    void connect(rt::headless::SerialPeer* peer);
};

// szStatus is terminated within its 72 bytes.
void CheckStatus();
// The receive notification is installed on `com` with its standard settings.
void CheckNotification(rt::headless::HeadlessBackend& bed);
// The parameter globals lie within the ranges the panel exchange repairs
// them to.
void CheckRepairedRanges();
// A continuous loop has ended and unlocked the panel.
void CheckLoopEnded(rt::headless::HeadlessBackend& bed);

} // namespace korven::fuzz
