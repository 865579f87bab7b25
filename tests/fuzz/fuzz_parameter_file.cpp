// The parameter-file reader: any file content is either read as exactly 16
// unsigned numbers (each taken modulo 65536) or refused as a whole with a
// reason in the status line, and the parameters then shown lie in their
// repaired ranges. An independent reading of the format decides which.
#include "fuzz_support.h"

#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

using namespace korven;

// The format as the operator's documentation puts it: white space (blanks,
// tabs, either line end, commas) around 16 unsigned decimal numbers of at
// most 32 bits, optionally after a UTF-8 byte-order mark.
std::optional<std::array<std::uint32_t, PNUM>> ReadIndependently(std::string text) {
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
        text.erase(0, 3);
    }
    std::array<std::uint32_t, PNUM> values{};
    int count = 0;
    std::size_t i = 0;
    const auto separator = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',';
    };
    while (i < text.size()) {
        if (separator(text[i])) {
            ++i;
            continue;
        }
        unsigned long long v = 0;
        bool digits = true;
        bool tooLarge = false;
        for (; i < text.size() && !separator(text[i]); ++i) {
            const char c = text[i];
            if (c < '0' || c > '9') {
                digits = false;
                continue;
            }
            v = v * 10 + static_cast<unsigned>(c - '0');
            if (v > 0xFFFFFFFFull) {
                tooLarge = true;
                v = 0xFFFFFFFFull + 1;
            }
        }
        if (!digits || tooLarge) {
            return std::nullopt;
        }
        if (count < PNUM) {
            values[static_cast<std::size_t>(count)] = static_cast<std::uint32_t>(v);
        }
        ++count;
    }
    if (count != PNUM) {
        return std::nullopt;
    }
    return values;
}

std::string TempPath() {
    return "/tmp/korven_fuzz_para_" + std::to_string(::getpid()) + ".dat";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    const std::string path = TempPath();
    if (!(std::ofstream(path, std::ios::binary) << text)) {
        return 0;
    }
    const auto expected = ReadIndependently(text);

    // The library call as the program makes it.
    std::array<std::uint32_t, PNUM> elements{};
    const int result = FileToArray(path.c_str(), elements.data(), VAL_UNSIGNED_INTEGER, PNUM, 1,
                                   VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII);
    KORVEN_FUZZ_CHECK((result == 0) == expected.has_value());
    if (expected) {
        KORVEN_FUZZ_CHECK(elements == *expected);
    }

    // The same file loaded through GET with the file target.
    fuzz::Program program;
    auto& bed = program.bed();
    ccdsubpixel = 2048;
    ccdmaxpixelX8 = 2048;
    CopyVarsToPP();
    std::array<u16, PNUM> before{};
    std::memcpy(before.data(), pp, sizeof pp);
    SetStatusText("previous text");
    bed.queueFileDialog(rt::FileDialogResult{VAL_EXISTING_FILE_SELECTED, path});
    KORVEN_FUZZ_CHECK(ReadParaFromFile() == (expected ? 1 : 0));
    CopyVarsToPP();
    if (expected) {
        for (int k = 0; k < PNUM; ++k) {
            KORVEN_FUZZ_CHECK(pp[k] == static_cast<u16>((*expected)[static_cast<std::size_t>(k)]));
        }
    } else {
        KORVEN_FUZZ_CHECK(std::memcmp(before.data(), pp, sizeof pp) == 0);
        KORVEN_FUZZ_CHECK(std::strncmp(szStatus, "Parameter file", 14) == 0);
    }
    PushGET(DATFILE);
    fuzz::CheckRepairedRanges();
    fuzz::CheckStatus();
    KORVEN_FUZZ_CHECK(bed.writes(1).empty()); // the file target never touches the line
    std::remove(path.c_str());
    return 0;
}
