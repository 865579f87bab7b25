// The command line of korven-darir-cli: one command, its port and its
// options, checked before any port is opened.
#pragma once

#include "analysis/compare.h"

#include <string>
#include <vector>

namespace korven::cli {

enum class Command { Scan, Info, ParamsGet, ParamsSet, Stream, Video, Report };
enum class Memory { Ram, Eeprom };
enum class Format { Text, Json, Dat, Csv, Jsonl };

struct Options {
    Command command = Command::Scan;
    // --port: a port number as the desktop program lists it, a device path
    // or a network address (socket://HOST:PORT, rfc2217://HOST:PORT). scan
    // takes any number of them besides the system's ports.
    std::vector<std::string> ports;
    Memory memory = Memory::Ram; // --from (params get), --to (params set)
    Format format = Format::Text;
    std::string output;                // -o FILE; "" is standard output
    std::vector<std::string> settings; // params set: FILE, or word=value...
    long count = 0;                    // stream --count, video --frames (0: not given)
    double seconds = 0.0;              // stream and report --seconds (0: not given)
    bool continuous = false;           // stream --continuous
    // report: the person responsible, the reference objects used and the
    // calibration tolerance in micrometres.
    std::string operatorName, reference;
    double toleranceUm = 0.0;
    // stream --mqtt URL: publishes what it streams to the broker.
    std::string mqttUrl;
    std::string mqttStation;      // --mqtt-station ("" is the computer's name)
    std::string mqttPrefix;       // --mqtt-prefix ("" is the default)
    std::string mqttUser;         // --mqtt-user
    std::string mqttPasswordFile; // --mqtt-password-file: its first line
    int mqttRate = 0;             // --mqtt-rate: messages a second, 0 every answer
};

// The text of --help.
extern const char* const kCliUsage;

// Exit statuses: done, sensor or line error, usage.
constexpr int kExitDone = 0;
constexpr int kExitSensor = 1;
constexpr int kExitUsage = 2;

// Reads the arguments after the program name. Returns -1 to go on, else
// the exit status: 0 when help or the version was asked for (the text is
// in *text), kExitUsage with the reason in *text.
int ParseCliArguments(const std::vector<std::string>& args, Options& options, std::string* text);

// A parameter word named on the command line: its number 0..15 or its name
// as the parameter file's words are called in the program (power,
// rs232Mode, vThd, ... deltaTol, case-insensitive); -1 when unknown.
int ParameterWordIndex(const std::string& name);
using analysis::kParameterKeys;
// A word's value: decimal, or hexadecimal after 0x, from 0 to 65535.
bool ParseWordValue(const std::string& text, unsigned& value);

} // namespace korven::cli
