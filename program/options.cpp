// The command line of the desktop program.
#include "program/options.h"

#include "runtime/port_address.h"

#include <cstdio>
#include <string>

namespace korven::program {

const char* const kUsage =
    "Usage: korven-darir [options]\n"
    "Setup and monitoring of a KORVEN edge sensor on RS-232 (19200 baud 8N1).\n"
    "\n"
    "Options:\n"
    "  --port N=PATH       serial port number N opens the device PATH, also a\n"
    "                      stable name such as /dev/serial/by-id/... (repeatable;\n"
    "                      without it, port N is the N-th serial device found,\n"
    "                      sorted by name, the adapter last used first; devices\n"
    "                      plugged in later are added at the end); PATH may be\n"
    "                      a serial line on the network: rfc2217://HOST:PORT\n"
    "                      (e.g. ser2net's telnet(rfc2217) accepter; options\n"
    "                      ?ign_set_control, ?timeout=SECONDS) or\n"
    "                      socket://HOST:PORT (raw TCP)\n"
    "  --port-glob PATTERN also list the devices matching PATTERN (e.g. /tmp/tty*)\n"
    "                      as they appear (repeatable)\n"
    "  --simulate [PRESET] run a virtual sensor on a pseudo-terminal as port 1; it\n"
    "                      answers at the pace of a real 19200-baud line, about 25\n"
    "                      run answers a second (PRESET: sensor model, see\n"
    "                      korven-sensor-sim --list-presets)\n"
    "  --simulate-fast [PRESET]\n"
    "                      the same on a line that takes no time: answers come as\n"
    "                      fast as the program asks\n"
    "  --screenshots DIR   walk through run mode, video mode and calibration,\n"
    "                      save pictures of them into DIR and quit\n"
    "  --version           print the program name and version\n"
    "  --help              print this help\n";

int ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::puts("KORVEN-Darir 2.3");
            return 0;
        }
        if (arg == "--port" || arg.rfind("--port=", 0) == 0) {
            std::string mapping;
            if (arg == "--port") {
                if (i + 1 >= argc) {
                    std::fputs("korven-darir: --port needs N=PATH\n", stderr);
                    return 2;
                }
                mapping = argv[++i];
            } else {
                mapping = arg.substr(7);
            }
            const auto eq = mapping.find('=');
            int number = 0;
            try {
                std::size_t used = 0;
                number = std::stoi(mapping.substr(0, eq), &used);
                if (used != eq) {
                    number = 0;
                }
            } catch (...) {
                number = 0;
            }
            if (eq == std::string::npos || number < 1 || number > 255 || eq + 1 >= mapping.size()) {
                std::fprintf(stderr, "korven-darir: bad --port '%s' (expected N=PATH, N 1..255)\n",
                             mapping.c_str());
                return 2;
            }
            const std::string path = mapping.substr(eq + 1);
            std::string reason;
            if (korven::rt::IsPortAddress(path) && !korven::rt::ParsePortAddress(path, &reason)) {
                std::fprintf(stderr, "korven-darir: bad --port '%s': %s\n", mapping.c_str(),
                             reason.c_str());
                return 2;
            }
            options.ports[number] = path;
            continue;
        }
        if (arg == "--port-glob") {
            if (i + 1 >= argc) {
                std::fputs("korven-darir: --port-glob needs a pattern\n", stderr);
                return 2;
            }
            options.portGlobs << QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        if (arg == "--screenshots") {
            if (i + 1 >= argc) {
                std::fputs("korven-darir: --screenshots needs a directory\n", stderr);
                return 2;
            }
            options.screenshots = argv[++i];
            continue;
        }
        if (arg == "--simulate" || arg == "--simulate-fast") {
#if defined(_WIN32)
            std::fprintf(stderr,
                         "korven-darir: %s needs a pseudo-terminal, which Windows does not "
                         "have; run korven-sensor-sim on a Linux machine or use a virtual COM "
                         "port pair\n",
                         arg.c_str());
            return 2;
#endif
            options.simulate = true;
            options.simulateFast = arg == "--simulate-fast";
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                options.preset = argv[++i];
            }
            continue;
        }
        std::fprintf(stderr, "korven-darir: unknown option '%s'\n\n%s", arg.c_str(), kUsage);
        return 2;
    }
    return -1;
}

sim::PtyServerOptions SimulatedLine(const Options& options) {
    sim::PtyServerOptions line;
    line.lineTiming = !options.simulateFast;
    return line;
}

} // namespace korven::program
