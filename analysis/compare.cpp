// Comparison of parameter sets as a text table.
#include "analysis/compare.h"

#include <bit>
#include <cstdio>

namespace korven::analysis {

const char* const kParameterNames[kParameterWords] = {
    "Power",     "RS-232 mode", "Video threshold", "Analogue mode", "Polarity", "Eval. mode",
    "Edge left", "Edge right",  "Teach value",     "Tolerance",     "Op. mode", "Hardware",
    "Slope",     "Offset",      "Average",         "DELTA-TOL"};

const char* const kParameterKeys[kParameterWords] = {
    "power", "rs232Mode", "vThd",   "anaMode",   "polarity", "eMode",     "eBeg",    "eEnd",
    "tVal",  "tTol",      "opMode", "eHardware", "slope",    "intersect", "average", "deltaTol"};

std::string DifferenceList(const ParameterWords& sent, const ParameterWords& read) {
    std::string out;
    const std::uint32_t differing = DifferingWords(sent, read);
    for (int k = 0; k < kParameterWords; ++k) {
        if ((differing >> k & 1u) != 0) {
            const auto i = static_cast<std::size_t>(k);
            out += (out.empty() ? "" : ", ") + std::string(kParameterNames[k]) + " (sent " +
                   std::to_string(sent[i]) + ", read " + std::to_string(read[i]) + ")";
        }
    }
    return out;
}

std::uint32_t DifferingWords(const ParameterWords& a, const ParameterWords& b) {
    std::uint32_t mask = 0;
    for (int k = 0; k < kParameterWords; ++k) {
        if (a[static_cast<std::size_t>(k)] != b[static_cast<std::size_t>(k)]) {
            mask |= 1u << k;
        }
    }
    return mask;
}

std::string CompareTable(const std::vector<ParameterColumn>& columns) {
    char cell[64];
    std::string out;
    std::snprintf(cell, sizeof cell, "%-19s", "Word");
    out += cell;
    for (const auto& c : columns) {
        std::snprintf(cell, sizeof cell, "%10.10s ", c.title.c_str());
        out += cell;
    }
    out += '\n';
    const bool haveBase = !columns.empty() && columns.front().valid;
    for (int k = 0; k < kParameterWords; ++k) {
        const auto i = static_cast<std::size_t>(k);
        std::snprintf(cell, sizeof cell, "%2d %-16s", k, kParameterNames[k]);
        out += cell;
        for (std::size_t col = 0; col < columns.size(); ++col) {
            const auto& c = columns[col];
            if (!c.valid) {
                std::snprintf(cell, sizeof cell, "%10s ", "-");
            } else {
                const bool differs = col > 0 && haveBase && c.words[i] != columns.front().words[i];
                std::snprintf(cell, sizeof cell, "%9u%c ", c.words[i], differs ? '*' : ' ');
            }
            out += cell;
        }
        out += '\n';
    }
    for (std::size_t col = 1; col < columns.size(); ++col) {
        const auto& c = columns[col];
        if (!haveBase || !c.valid) {
            continue;
        }
        const int n = std::popcount(DifferingWords(columns.front().words, c.words));
        if (n == 0) {
            std::snprintf(cell, sizeof cell, "%s: same as %s\n", c.title.c_str(),
                          columns.front().title.c_str());
        } else {
            std::snprintf(cell, sizeof cell, "%s: %d word%s differ%s (*)\n", c.title.c_str(), n,
                          n == 1 ? "" : "s", n == 1 ? "s" : "");
        }
        out += cell;
    }
    return out;
}

} // namespace korven::analysis
