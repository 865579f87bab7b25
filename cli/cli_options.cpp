#include "cli/cli_options.h"

#include "publish/mqtt_payloads.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

namespace korven::cli {

const char* const kCliUsage =
    "Usage: korven-darir-cli COMMAND [options]\n"
    "\n"
    "Talks to a KORVEN CCD line sensor on a serial port, as the desktop program does.\n"
    "\n"
    "Commands:\n"
    "  scan [--port P]...           every port with the sensor found on it, or why not\n"
    "  info --port P                the sensor's identification\n"
    "  params get --port P [--from ram|eeprom] [--format dat|json] [-o FILE]\n"
    "                               the 16 parameter words (dat: the parameter file)\n"
    "  params set --port P [--to ram|eeprom] FILE | WORD=VALUE...\n"
    "                               writes a parameter file's set or the words named\n"
    "                               into the sensor, reads it back and compares\n"
    "  stream --port P [--count N | --seconds S | --continuous] [--format csv|jsonl] [-o FILE]\n"
    "         [--mqtt URL [--mqtt-station NAME] [--mqtt-prefix P] [--mqtt-rate N]\n"
    "          [--mqtt-user U [--mqtt-password-file F]]]\n"
    "                               measurement answers, one line each (default: until\n"
    "                               interrupted); with --mqtt also published to the broker\n"
    "  video --port P [--frames N] [--format csv|jsonl] [-o FILE]\n"
    "                               video lines of 256 values (default: 1 frame)\n"
    "  report --port P --operator NAME [--reference TEXT] [--tolerance UM]\n"
    "         [--seconds S] [-o FILE.pdf]\n"
    "                               the setup record as PDF and JSON (with the\n"
    "                               statistics of S seconds of measuring)\n"
    "\n"
    "Options:\n"
    "  --port P       a port number as the desktop program lists it (1 is COM1), a\n"
    "                 device path, or socket://HOST:PORT or rfc2217://HOST:PORT\n"
    "  --format F     text or json (scan, info); dat or json (params get);\n"
    "                 csv or jsonl (stream, video)\n"
    "  -o FILE        write the output to FILE instead of standard output\n"
    "  --mqtt URL     publish to the MQTT broker at mqtt://HOST[:PORT] or\n"
    "                 mqtts://HOST[:PORT] (TLS with the system's CA certificates)\n"
    "  --mqtt-station NAME    the station's topic level (default: the computer's name)\n"
    "  --mqtt-prefix P        the first topic level(s) (default: korven)\n"
    "  --mqtt-rate N          at most N messages a second, answers gathered in JSON\n"
    "                         arrays (1 to 25; default: one message per answer)\n"
    "  --mqtt-user U          log in as U, with the password in the first line of\n"
    "  --mqtt-password-file F the file F\n"
    "  -h, --help     show this text\n"
    "  --version      show the program's version\n"
    "\n"
    "WORD is a word's number 0..15 or its name: power rs232Mode vThd anaMode polarity\n"
    "eMode eBeg eEnd tVal tTol opMode eHardware slope intersect average deltaTol.\n"
    "\n"
    "Exit status: 0 done, 1 sensor or line error (the reason on standard error),\n"
    "2 wrong usage.\n";

namespace {

bool SameLetters(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

// A whole number from 1 to `max`; false for anything else.
bool PositiveNumber(const std::string& text, long max, long& out) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v > max) {
        return false;
    }
    out = v;
    return true;
}

struct Parser {
    const std::vector<std::string>& args;
    std::size_t at = 0;
    std::string* text;

    int fail(const std::string& why) const {
        *text = "korven-darir-cli: " + why + " (see --help)";
        return kExitUsage;
    }
};

// What each command takes.
struct Accepts {
    bool port = true, manyPorts = false, from = false, to = false, output = false;
    bool count = false, seconds = false, continuous = false, frames = false;
    bool settings = false; // FILE or WORD=VALUE arguments
    bool report = false;   // --operator, --reference, --tolerance
    bool mqtt = false;     // --mqtt and its --mqtt-... options
    std::vector<std::pair<const char*, Format>> formats = {}; // the first is the default
};

const std::map<Command, Accepts>& CommandOptions() {
    const std::vector<std::pair<const char*, Format>> text = {{"text", Format::Text},
                                                              {"json", Format::Json}};
    const std::vector<std::pair<const char*, Format>> lines = {{"csv", Format::Csv},
                                                               {"jsonl", Format::Jsonl}};
    static const std::map<Command, Accepts> kAccepts = {
        {Command::Scan, {.manyPorts = true, .formats = text}},
        {Command::Info, {.formats = text}},
        {Command::ParamsGet,
         {.from = true, .output = true, .formats = {{"dat", Format::Dat}, {"json", Format::Json}}}},
        {Command::ParamsSet, {.to = true, .settings = true}},
        {Command::Stream,
         {.output = true,
          .count = true,
          .seconds = true,
          .continuous = true,
          .mqtt = true,
          .formats = lines}},
        {Command::Video, {.output = true, .frames = true, .formats = lines}},
        {Command::Report, {.output = true, .seconds = true, .report = true}},
    };
    return kAccepts;
}

bool ParseMemory(const std::string& v, Memory& out) {
    if (v == "ram") {
        out = Memory::Ram;
    } else if (v == "eeprom") {
        out = Memory::Eeprom;
    } else {
        return false;
    }
    return true;
}

} // namespace

bool ParseWordValue(const std::string& text, unsigned& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 5) {
        return false;
    }
    unsigned v = 0;
    for (const char c : digits) {
        const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : hex && std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : -1;
        if (d < 0) {
            return false;
        }
        v = v * (hex ? 16u : 10u) + static_cast<unsigned>(d);
    }
    if (v > 65535) {
        return false;
    }
    value = v;
    return true;
}

int ParameterWordIndex(const std::string& name) {
    long n = 0;
    if (name == "0") {
        return 0;
    }
    if (PositiveNumber(name, 15, n)) {
        return static_cast<int>(n);
    }
    for (int k = 0; k < 16; ++k) {
        if (SameLetters(name, kParameterKeys[k])) {
            return k;
        }
    }
    return -1;
}

int ParseCliArguments(const std::vector<std::string>& args, Options& options, std::string* text) {
    Parser p{args, 0, text};
    for (const std::string& a : args) {
        if (a == "-h" || a == "--help") {
            *text = kCliUsage;
            return kExitDone;
        }
        if (a == "--version") {
            *text = "korven-darir-cli 2.3\n";
            return kExitDone;
        }
    }
    if (args.empty()) {
        return p.fail("no command given");
    }
    static const std::map<std::string, Command> kCommands = {{"scan", Command::Scan},
                                                             {"info", Command::Info},
                                                             {"stream", Command::Stream},
                                                             {"video", Command::Video},
                                                             {"report", Command::Report}};
    const std::string& word = args[p.at++];
    if (word == "params") {
        if (p.at >= args.size()) {
            return p.fail("params needs get or set");
        }
        const std::string& what = args[p.at++];
        if (what == "get") {
            options.command = Command::ParamsGet;
        } else if (what == "set") {
            options.command = Command::ParamsSet;
        } else {
            return p.fail("params needs get or set, not '" + what + "'");
        }
    } else if (const auto it = kCommands.find(word); it != kCommands.end()) {
        options.command = it->second;
    } else {
        return p.fail("unknown command '" + word + "'");
    }
    const Accepts& accepts = CommandOptions().at(options.command);
    if (!accepts.formats.empty()) {
        options.format = accepts.formats.front().second;
    }

    int limits = 0; // --count, --seconds, --continuous given
    while (p.at < args.size()) {
        std::string name = args[p.at++];
        std::string value;
        bool hasValue = false;
        if (name.rfind("--", 0) == 0) {
            if (const auto eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                hasValue = true;
            }
        } else if (name != "-o") {
            if (!accepts.settings) {
                return p.fail("unexpected argument '" + name + "'");
            }
            options.settings.push_back(name);
            continue;
        }
        auto takeValue = [&]() -> bool {
            if (hasValue) {
                return true;
            }
            if (p.at >= args.size()) {
                return false;
            }
            value = args[p.at++];
            return true;
        };
        const bool flag = name == "--continuous";
        if (!flag && !takeValue()) {
            return p.fail(name + " needs a value");
        }
        if (flag && hasValue) {
            return p.fail("--continuous takes no value");
        }
        if (name == "--port" && accepts.port) {
            if (value.empty()) {
                return p.fail("--port needs a port");
            }
            if (!options.ports.empty() && !accepts.manyPorts) {
                return p.fail("--port given twice");
            }
            options.ports.push_back(value);
        } else if ((name == "--from" && accepts.from) || (name == "--to" && accepts.to)) {
            if (!ParseMemory(value, options.memory)) {
                return p.fail(name + " takes ram or eeprom, not '" + value + "'");
            }
        } else if (name == "--format" && !accepts.formats.empty()) {
            bool known = false;
            std::string names;
            for (const auto& [formatName, format] : accepts.formats) {
                names += (names.empty() ? "" : " or ") + std::string(formatName);
                if (value == formatName) {
                    options.format = format;
                    known = true;
                }
            }
            if (!known) {
                return p.fail("--format takes " + names + " here, not '" + value + "'");
            }
        } else if ((name == "-o" || name == "--output") && accepts.output) {
            if (value.empty()) {
                return p.fail(name + " needs a file name");
            }
            options.output = value;
        } else if ((name == "--count" && accepts.count) || (name == "--frames" && accepts.frames)) {
            if (!PositiveNumber(value, 1000000000L, options.count)) {
                return p.fail(name + " takes a whole number from 1, not '" + value + "'");
            }
            ++limits;
        } else if (name == "--seconds" && accepts.seconds) {
            char* end = nullptr;
            const double s = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !std::isfinite(s) || s <= 0.0 || s > 1e7) {
                return p.fail("--seconds takes a positive number, not '" + value + "'");
            }
            options.seconds = s;
            ++limits;
        } else if ((name == "--operator" || name == "--reference") && accepts.report) {
            (name == "--operator" ? options.operatorName : options.reference) = value;
        } else if (name == "--tolerance" && accepts.report) {
            char* end = nullptr;
            const double t = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !std::isfinite(t) || t <= 0.0 || t > 1e6) {
                return p.fail("--tolerance takes a positive number of micrometres, not '" + value +
                              "'");
            }
            options.toleranceUm = t;
        } else if (name == "--continuous" && accepts.continuous) {
            options.continuous = true;
            ++limits;
        } else if (name == "--mqtt" && accepts.mqtt) {
            publish::BrokerAddress broker;
            if (const std::string why = publish::ParseBrokerUrl(value, broker); !why.empty()) {
                return p.fail("--mqtt: " + why + ", not '" + value + "'");
            }
            options.mqttUrl = value;
        } else if ((name == "--mqtt-station" || name == "--mqtt-prefix" || name == "--mqtt-user" ||
                    name == "--mqtt-password-file") &&
                   accepts.mqtt) {
            if (value.empty()) {
                return p.fail(name + " needs a value");
            }
            (name == "--mqtt-station"  ? options.mqttStation
             : name == "--mqtt-prefix" ? options.mqttPrefix
             : name == "--mqtt-user"   ? options.mqttUser
                                       : options.mqttPasswordFile) = value;
        } else if (name == "--mqtt-rate" && accepts.mqtt) {
            long rate = 0;
            if (!PositiveNumber(value, 25, rate)) {
                return p.fail("--mqtt-rate takes a whole number from 1 to 25, not '" + value + "'");
            }
            options.mqttRate = static_cast<int>(rate);
        } else {
            return p.fail("option " + name + " does not go with " + word);
        }
    }

    const bool mqttDetails = !options.mqttStation.empty() || !options.mqttPrefix.empty() ||
                             !options.mqttUser.empty() || !options.mqttPasswordFile.empty() ||
                             options.mqttRate != 0;
    if (mqttDetails && options.mqttUrl.empty()) {
        return p.fail("the --mqtt-... options need --mqtt URL");
    }
    if (!options.mqttPasswordFile.empty() && options.mqttUser.empty()) {
        return p.fail("--mqtt-password-file needs --mqtt-user");
    }
    if (options.ports.empty() && options.command != Command::Scan) {
        return p.fail(word + " needs --port");
    }
    if (options.command == Command::Report && options.operatorName.empty()) {
        return p.fail("report needs --operator NAME (the person responsible)");
    }
    if (limits > 1) {
        return p.fail("give only one of --count, --seconds and --continuous");
    }
    if (options.command == Command::Stream && limits == 0) {
        options.continuous = true;
    }
    if (options.command == Command::Video && options.count == 0) {
        options.count = 1;
    }
    if (options.command == Command::ParamsSet) {
        if (options.settings.empty()) {
            return p.fail("params set needs a parameter file or WORD=VALUE");
        }
        const bool file = options.settings.front().find('=') == std::string::npos;
        if (file && options.settings.size() > 1) {
            return p.fail("params set takes one parameter file, or WORD=VALUE pairs");
        }
        for (const std::string& s : options.settings) {
            if (file) {
                break;
            }
            const auto eq = s.find('=');
            if (eq == std::string::npos) {
                return p.fail("'" + s + "' is no WORD=VALUE");
            }
            if (ParameterWordIndex(s.substr(0, eq)) < 0) {
                return p.fail("unknown parameter word '" + s.substr(0, eq) + "'");
            }
            const std::string v = s.substr(eq + 1);
            unsigned parsed = 0;
            if (!ParseWordValue(v, parsed)) {
                return p.fail("the value of " + s.substr(0, eq) +
                              " must be a number from 0 to 65535, not '" + v + "'");
            }
        }
    }
    return -1;
}

} // namespace korven::cli
