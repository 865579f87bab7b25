// korven-sensor-sim: the virtual KORVEN sensor on a pseudo-terminal.
//
// Prints the path a serial client should open (one line on stdout), then
// answers frames until SIGINT or SIGTERM.
#include "sim/pty_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <string_view>

namespace {

constexpr const char* kUsage = R"(Usage: korven-sensor-sim [options]

Serves a virtual KORVEN CCD line sensor (36-byte frames, 19200 8N1) on a
pseudo-terminal and prints the path to open on stdout.

Options:
  --preset NAME        sensor model (default type2-res350); see --list-presets
  --list-presets       list the sensor models and exit
  --seed N             seed of the scene's noise (default 1)
  --objects N          1 or 2 dark objects on the line (default 1)
  --line-timing on|off pace answers at 19200 baud, 10 bits a byte (default on)
  --processing-ms X    time from a request's last byte to the answer (default 2)
  --eeprom FILE        keep the EEPROM parameter set in FILE across restarts
  --link PATH          make a symbolic link PATH to the pty (removed on exit)
  --device PATH        serve on this serial device instead of a pty
  --silent             never answer
  --late-ms X          answer X milliseconds late
  --short N            leave out the last N bytes of every answer
  --extra N            append N bytes to every answer
  --garbage            answer with meaningless bytes of the right length
  --drop-after N       stop answering after N frames
  --verbose            log every frame received and sent to stderr
  --help               show this text
)";

std::mutex logMutex;

void LogLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "korven-sensor-sim: %s\n", message.c_str());
    std::exit(2);
}

std::optional<double> ParseNumber(std::string_view text, double min, double max) {
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || end == nullptr || *end != '\0' || errno != 0 || !(v >= min && v <= max)) {
        return std::nullopt;
    }
    return v;
}

long ParseCount(const std::string& option, std::string_view text, long max) {
    const auto v = ParseNumber(text, 0, static_cast<double>(max));
    if (!v || *v != static_cast<double>(static_cast<long>(*v))) {
        Fail(option + " needs a whole number from 0 to " + std::to_string(max) + ", not '" +
             std::string(text) + "'");
    }
    return static_cast<long>(*v);
}

double ParseMs(const std::string& option, std::string_view text) {
    const auto v = ParseNumber(text, 0.0, 600000.0);
    if (!v) {
        Fail(option + " needs milliseconds from 0 to 600000, not '" + std::string(text) + "'");
    }
    return *v / 1000.0;
}

} // namespace

int main(int argc, char** argv) {
    using namespace korven::sim;
    ModelOptions model;
    PtyServerOptions server;
    Faults faults;
    bool verbose = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Fail(arg + " needs a value (see --help)");
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--list-presets") {
            for (const Preset& p : Presets()) {
                std::printf("%-14s %s\n", p.name.c_str(), p.summary.c_str());
            }
            return 0;
        } else if (arg == "--preset") {
            const std::string name = value();
            const Preset* p = FindPreset(name);
            if (p == nullptr) {
                Fail("unknown preset '" + name + "' (see --list-presets)");
            }
            model.preset = *p;
        } else if (arg == "--seed") {
            model.seed = static_cast<std::uint32_t>(ParseCount(arg, value(), 4294967295L));
        } else if (arg == "--objects") {
            const long n = ParseCount(arg, value(), 2);
            if (n < 1) {
                Fail("--objects needs 1 or 2");
            }
            model.scene.objects = static_cast<int>(n);
        } else if (arg == "--line-timing") {
            const std::string v = value();
            if (v != "on" && v != "off") {
                Fail("--line-timing needs on or off, not '" + v + "'");
            }
            server.lineTiming = v == "on";
        } else if (arg == "--processing-ms") {
            model.processingTime = ParseMs(arg, value());
        } else if (arg == "--eeprom") {
            model.eepromPath = value();
        } else if (arg == "--link") {
            server.linkPath = value();
        } else if (arg == "--device") {
            server.devicePath = value();
        } else if (arg == "--silent") {
            faults.silent = true;
        } else if (arg == "--late-ms") {
            faults.lateSeconds = ParseMs(arg, value());
        } else if (arg == "--short") {
            faults.cutBytes = static_cast<int>(ParseCount(arg, value(), 4096));
        } else if (arg == "--extra") {
            faults.extraBytes = static_cast<int>(ParseCount(arg, value(), 4096));
        } else if (arg == "--garbage") {
            faults.garbage = true;
        } else if (arg == "--drop-after") {
            faults.dropAfterFrames = ParseCount(arg, value(), 1000000000L);
        } else if (arg == "--verbose" || arg == "-v") {
            verbose = true;
        } else {
            Fail("unknown option '" + arg + "' (see --help)");
        }
    }
    if (verbose) {
        server.log = LogLine;
    }

    // Block the stop signals in every thread; the main thread waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    PtyServer sim(model, server);
    sim.withModel([&](SensorModel& m) {
        m.setFaults(faults);
        if (!m.eepromError().empty()) {
            LogLine("korven-sensor-sim: " + m.eepromError());
        }
        return 0;
    });
    std::string error;
    if (!sim.start(&error)) {
        Fail(error);
    }
    std::printf("%s\n", sim.path().c_str());
    std::fflush(stdout);

    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    if (verbose) {
        LogLine(std::string("korven-sensor-sim: ") + strsignal(signalNumber) + ", stopping");
    }
    sim.stop();
    const std::string eepromError = sim.withModel([](SensorModel& m) { return m.eepromError(); });
    if (!eepromError.empty()) {
        LogLine("korven-sensor-sim: " + eepromError);
    }
    return 0;
}
