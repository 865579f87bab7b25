// Comparison of parameter sets (the panel's, the sensor's RAM and EEPROM,
// a parameter file): a text table with one line per word that marks every
// word that differs from the first set.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korven::analysis {

constexpr int kParameterWords = 16;
using ParameterWords = std::array<std::uint16_t, kParameterWords>;

// Names of the words in packet order.
extern const char* const kParameterNames[kParameterWords];
// The same words as the parameter file's words are called in the program
// (power, rs232Mode, vThd, ... deltaTol): the keys of the JSON records.
extern const char* const kParameterKeys[kParameterWords];

struct ParameterColumn {
    std::string title;
    bool valid = false; // false: not read (yet), or the read failed
    ParameterWords words{};
};

// Bit k is set when word k differs.
std::uint32_t DifferingWords(const ParameterWords& a, const ParameterWords& b);

// The words in which `read` differs from `sent`, named and with both
// values: "Power (sent 700, read 500), Tolerance (sent 33, read 1)".
// Empty when the sets agree.
std::string DifferenceList(const ParameterWords& sent, const ParameterWords& read);

// The table: a title row, one row per word, then a row per column that
// counts its differences from the first column. A differing word carries a
// '*' behind its value; a column not read shows "-".
std::string CompareTable(const std::vector<ParameterColumn>& columns);

} // namespace korven::analysis
