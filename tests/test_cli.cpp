// The command line of korven-darir-cli: what each command takes, its
// defaults, and the words and values a script may give.
#include "cli/cli_options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace korven::cli {
namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

TEST(CliArguments, UsageErrorsEndWithStatusTwoAndSayWhy) {
    struct Case {
        const char* line;
        const char* reason; // part of the one-line text
    };
    const Case cases[] = {
        {"", "no command given"},
        {"bogus", "unknown command 'bogus'"},
        {"params", "params needs get or set"},
        {"params put --port 1", "not 'put'"},
        {"info", "info needs --port"},
        {"info --port", "--port needs a value"},
        {"info --port=", "--port needs a port"},
        {"info --port 1 --port 2", "--port given twice"},
        {"info --port 1 --from ram", "option --from does not go with info"},
        {"params get --port 1 --to ram", "option --to does not go with params"},
        {"params get --port 1 --from flash", "--from takes ram or eeprom, not 'flash'"},
        {"params get --port 1 --format csv", "--format takes dat or json here, not 'csv'"},
        {"stream --port 1 --format json", "--format takes csv or jsonl here"},
        {"stream --port 1 --count 0", "--count takes a whole number from 1, not '0'"},
        {"stream --port 1 --count 1000000001", "not '1000000001'"},
        {"stream --port 1 --count 5x", "not '5x'"},
        {"stream --port 1 --count -5", "not '-5'"},
        {"stream --port 1 --seconds 0", "--seconds takes a positive number, not '0'"},
        {"stream --port 1 --seconds nan", "not 'nan'"},
        {"stream --port 1 --seconds 10000001", "not '10000001'"},
        {"stream --port 1 --count 5 --seconds 2", "only one of --count, --seconds"},
        {"stream --port 1 --count 5 --continuous", "only one of"},
        {"stream --port 1 --continuous=1", "--continuous takes no value"},
        {"stream --port 1 -o", "-o needs a value"},
        {"video --port 1 --frames 0", "--frames takes a whole number"},
        {"video --port 1 --count 3", "option --count does not go with video"},
        {"info --port 1 extra", "unexpected argument 'extra'"},
        {"params set --port 1", "params set needs a parameter file or WORD=VALUE"},
        {"params set --port 1 a.dat b.dat", "takes one parameter file"},
        {"params set --port 1 tTol=5 b.dat", "'b.dat' is no WORD=VALUE"},
        {"params set --port 1 colour=5", "unknown parameter word 'colour'"},
        {"params set --port 1 16=5", "unknown parameter word '16'"},
        {"params set --port 1 tTol=65536", "from 0 to 65535, not '65536'"},
        {"params set --port 1 tTol=0x10000", "not '0x10000'"},
        {"params set --port 1 tTol=-1", "not '-1'"},
        {"params set --port 1 tTol=+1", "not '+1'"},
        {"params set --port 1 tTol=", "not ''"},
        {"params set --port 1 tTol=1e3", "not '1e3'"},
        {"report --port 1", "report needs --operator NAME"},
        {"report --port 1 --operator A --tolerance 0", "--tolerance takes a positive number"},
        {"report --port 1 --operator A --tolerance 1000001", "not '1000001'"},
        {"report --port 1 --operator A --count 3", "option --count does not go with report"},
        {"stream --port 1 --operator A", "option --operator does not go with stream"},
        {"stream --port 1 --mqtt http://h", "--mqtt: the broker address must start with"},
        {"stream --port 1 --mqtt mqtt://h:0", "from 1 to 65535, not 'mqtt://h:0'"},
        {"stream --port 1 --mqtt mqtt://h:65536", "not 'mqtt://h:65536'"},
        {"stream --port 1 --mqtt", "--mqtt needs a value"},
        {"stream --port 1 --mqtt-station=", "--mqtt-station needs a value"},
        {"stream --port 1 --mqtt-user u", "the --mqtt-... options need --mqtt URL"},
        {"stream --port 1 --mqtt-rate 5", "need --mqtt URL"},
        {"stream --port 1 --mqtt mqtt://h --mqtt-password-file f", "needs --mqtt-user"},
        {"stream --port 1 --mqtt mqtt://h --mqtt-rate 0", "from 1 to 25, not '0'"},
        {"stream --port 1 --mqtt mqtt://h --mqtt-rate 26", "not '26'"},
        {"info --port 1 --mqtt mqtt://h", "option --mqtt does not go with info"},
        {"video --port 1 --mqtt mqtt://h", "option --mqtt does not go with video"},
    };
    for (const Case& c : cases) {
        Options o;
        std::string text;
        EXPECT_EQ(ParseCliArguments(Words(c.line), o, &text), kExitUsage) << c.line;
        EXPECT_NE(text.find(c.reason), std::string::npos) << c.line << " gave: " << text;
        EXPECT_EQ(text.find('\n'), std::string::npos) << c.line;
    }
}

TEST(CliArguments, CommandsTakeTheirOptionsAndDefaults) {
    struct Case {
        const char* line;
        Command command;
        Format format;
        Memory memory;
        long count;
        double seconds;
        bool continuous;
        std::size_t ports, settings;
    };
    const Case cases[] = {
        {"scan", Command::Scan, Format::Text, Memory::Ram, 0, 0, false, 0, 0},
        {"scan --port 3 --port=socket://h:7 --format json", Command::Scan, Format::Json,
         Memory::Ram, 0, 0, false, 2, 0},
        {"info --port /dev/ttyUSB0", Command::Info, Format::Text, Memory::Ram, 0, 0, false, 1, 0},
        {"params get --port 1", Command::ParamsGet, Format::Dat, Memory::Ram, 0, 0, false, 1, 0},
        {"params get --port 1 --from eeprom --format json -o x", Command::ParamsGet, Format::Json,
         Memory::Eeprom, 0, 0, false, 1, 0},
        {"params set --port 1 --to eeprom KRVNpara.dat", Command::ParamsSet, Format::Text,
         Memory::Eeprom, 0, 0, false, 1, 1},
        {"params set --port 1 tTol=0 TTOL=65535 3=0xFFFF", Command::ParamsSet, Format::Text,
         Memory::Ram, 0, 0, false, 1, 3},
        // A stream without a limit runs until it is interrupted.
        {"stream --port 1", Command::Stream, Format::Csv, Memory::Ram, 0, 0, true, 1, 0},
        {"stream --port 1 --count 1", Command::Stream, Format::Csv, Memory::Ram, 1, 0, false, 1, 0},
        {"stream --port 1 --count=1000000000 --format jsonl", Command::Stream, Format::Jsonl,
         Memory::Ram, 1000000000, 0, false, 1, 0},
        {"stream --port 1 --seconds 0.5", Command::Stream, Format::Csv, Memory::Ram, 0, 0.5, false,
         1, 0},
        {"video --port 1", Command::Video, Format::Csv, Memory::Ram, 1, 0, false, 1, 0},
        {"video --port 1 --frames 7 --format jsonl", Command::Video, Format::Jsonl, Memory::Ram, 7,
         0, false, 1, 0},
        {"report --port 1 --operator A --tolerance 1000000 --seconds 3 -o r.pdf", Command::Report,
         Format::Text, Memory::Ram, 0, 3, false, 1, 0},
    };
    for (const Case& c : cases) {
        Options o;
        std::string text;
        ASSERT_EQ(ParseCliArguments(Words(c.line), o, &text), -1) << c.line << ": " << text;
        EXPECT_EQ(o.command, c.command) << c.line;
        EXPECT_EQ(o.format, c.format) << c.line;
        EXPECT_EQ(o.memory, c.memory) << c.line;
        EXPECT_EQ(o.count, c.count) << c.line;
        EXPECT_EQ(o.seconds, c.seconds) << c.line;
        EXPECT_EQ(o.continuous, c.continuous) << c.line;
        EXPECT_EQ(o.ports.size(), c.ports) << c.line;
        EXPECT_EQ(o.settings.size(), c.settings) << c.line;
    }
    struct Mqtt {
        const char* line;
        const char *url, *station, *prefix, *user, *passwordFile;
        int rate;
    };
    const Mqtt mqtt[] = {
        {"stream --port 1", "", "", "", "", "", 0},
        {"stream --port 1 --mqtt mqtt://h", "mqtt://h", "", "", "", "", 0},
        {"stream --port 1 --mqtt=mqtts://h:8883 --mqtt-rate 1 --mqtt-station s --mqtt-prefix a/b "
         "--mqtt-user u --mqtt-password-file f",
         "mqtts://h:8883", "s", "a/b", "u", "f", 1},
        {"stream --port 1 --mqtt mqtt://h --mqtt-rate=25 --mqtt-user u", "mqtt://h", "", "", "u",
         "", 25},
    };
    for (const Mqtt& c : mqtt) {
        Options o;
        std::string text;
        ASSERT_EQ(ParseCliArguments(Words(c.line), o, &text), -1) << c.line << ": " << text;
        EXPECT_EQ(o.mqttUrl, c.url) << c.line;
        EXPECT_EQ(o.mqttStation, c.station) << c.line;
        EXPECT_EQ(o.mqttPrefix, c.prefix) << c.line;
        EXPECT_EQ(o.mqttUser, c.user) << c.line;
        EXPECT_EQ(o.mqttPasswordFile, c.passwordFile) << c.line;
        EXPECT_EQ(o.mqttRate, c.rate) << c.line;
    }
    for (const char* line : {"--help", "info -h", "--version"}) {
        Options o;
        std::string text;
        EXPECT_EQ(ParseCliArguments(Words(line), o, &text), kExitDone) << line;
        EXPECT_FALSE(text.empty());
    }
}

TEST(CliArguments, WordsByNumberOrNameAndValuesInSixteenBits) {
    EXPECT_EQ(ParameterWordIndex("0"), 0);
    EXPECT_EQ(ParameterWordIndex("15"), 15);
    EXPECT_EQ(ParameterWordIndex("16"), -1);
    EXPECT_EQ(ParameterWordIndex("power"), 0);
    EXPECT_EQ(ParameterWordIndex("DELTATOL"), 15);
    EXPECT_EQ(ParameterWordIndex("deltaTo"), -1);
    EXPECT_EQ(ParameterWordIndex(""), -1);
    struct Case {
        const char* text;
        bool ok;
        unsigned value;
    };
    const Case cases[] = {{"0", true, 0},          {"65535", true, 65535}, {"65536", false, 0},
                          {"0xffff", true, 65535}, {"0X1F", true, 31},     {"0x", false, 0},
                          {"010", true, 10},       {"0x10000", false, 0},  {"000065535", false, 0},
                          {" 1", false, 0},        {"1 ", false, 0},       {"0xg", false, 0}};
    for (const Case& c : cases) {
        unsigned v = 12345;
        EXPECT_EQ(ParseWordValue(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : 12345u) << c.text;
    }
}

} // namespace
} // namespace korven::cli
