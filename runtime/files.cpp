// ArrayToFile and FileToArray: numeric arrays as ASCII text files. Shared by
// every back end; plain C++ and the operating system's file calls.
#include "runtime/engine.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

bool SupportedType(int dataType) {
    switch (dataType) {
    case VAL_CHAR:
    case VAL_UNSIGNED_CHAR:
    case VAL_SHORT_INTEGER:
    case VAL_UNSIGNED_SHORT_INTEGER:
    case VAL_INTEGER:
    case VAL_UNSIGNED_INTEGER:
    case VAL_FLOAT:
    case VAL_DOUBLE:
        return true;
    default:
        return false;
    }
}

std::string FormatElement(const void* array, int dataType, std::size_t i) {
    char buf[64];
    switch (dataType) {
    case VAL_CHAR:
        std::snprintf(buf, sizeof buf, "%d", static_cast<const signed char*>(array)[i]);
        break;
    case VAL_UNSIGNED_CHAR:
        std::snprintf(buf, sizeof buf, "%u", static_cast<const unsigned char*>(array)[i]);
        break;
    case VAL_SHORT_INTEGER:
        std::snprintf(buf, sizeof buf, "%d", static_cast<const short*>(array)[i]);
        break;
    case VAL_UNSIGNED_SHORT_INTEGER:
        std::snprintf(buf, sizeof buf, "%u", static_cast<const unsigned short*>(array)[i]);
        break;
    case VAL_INTEGER:
        std::snprintf(buf, sizeof buf, "%d", static_cast<const int*>(array)[i]);
        break;
    case VAL_UNSIGNED_INTEGER:
        std::snprintf(buf, sizeof buf, "%u", static_cast<const unsigned int*>(array)[i]);
        break;
    case VAL_FLOAT:
        std::snprintf(buf, sizeof buf, "%.9g",
                      static_cast<double>(static_cast<const float*>(array)[i]));
        break;
    default:
        std::snprintf(buf, sizeof buf, "%.17g", static_cast<const double*>(array)[i]);
        break;
    }
    return buf;
}

// Position in the array of element `e` of group `g`.
std::size_t ArrayIndex(int order, std::size_t g, std::size_t e, std::size_t groups,
                       std::size_t perGroup) {
    return order == VAL_DATA_MULTIPLEXED ? e * groups + g : g * perGroup + e;
}

// Checks the shape arguments shared by both directions.
bool ShapeOk(const char* fileName, const void* array, int dataType, int numberOfElements,
             int numberOfGroups, int arrayDataOrder, int fileLayout, int fileType) {
    return fileName != nullptr && *fileName != '\0' && array != nullptr &&
           SupportedType(dataType) && numberOfElements > 0 && numberOfGroups > 0 &&
           numberOfElements % numberOfGroups == 0 &&
           (arrayDataOrder == VAL_GROUPS_TOGETHER || arrayDataOrder == VAL_DATA_MULTIPLEXED) &&
           (fileLayout == VAL_GROUPS_AS_COLUMNS || fileLayout == VAL_GROUPS_AS_ROWS) &&
           fileType == VAL_ASCII;
}

std::string BuildText(const void* array, int dataType, int numberOfElements, int numberOfGroups,
                      int arrayDataOrder, int fileLayout, int columnSeparation, int fieldWidth) {
    const auto groups = static_cast<std::size_t>(numberOfGroups);
    const auto perGroup = static_cast<std::size_t>(numberOfElements) / groups;
    // Rows of the file: with groups as columns, line k holds element k of
    // every group; with groups as rows, line g holds group g.
    const bool columns = fileLayout == VAL_GROUPS_AS_COLUMNS;
    const std::size_t lines = columns ? perGroup : groups;
    const std::size_t fields = columns ? groups : perGroup;
    std::string out;
    for (std::size_t line = 0; line < lines; ++line) {
        for (std::size_t f = 0; f < fields; ++f) {
            const std::size_t g = columns ? f : line;
            const std::size_t e = columns ? line : f;
            std::string v =
                FormatElement(array, dataType, ArrayIndex(arrayDataOrder, g, e, groups, perGroup));
            if (f > 0) {
                out += columnSeparation == VAL_SEP_BY_COMMA ? ","
                       : columnSeparation == VAL_SEP_BY_TAB ? "\t"
                                                            : " ";
            }
            if (columnSeparation == VAL_CONST_WIDTH && fieldWidth > 0 &&
                v.size() < static_cast<std::size_t>(fieldWidth)) {
                out.append(static_cast<std::size_t>(fieldWidth) - v.size(), ' ');
            }
            out += v;
        }
        out += '\n';
    }
    return out;
}

#if !defined(_WIN32)
// Writes all of `text` to fd; false on any error.
bool WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces `target` with `text` so that a reader sees either the old or
// the new file, never a part: write a temporary file beside it, force it to
// disk, then rename it over the target.
// The file a path names in the end: a symbolic link (or a chain of them)
// is followed, also to a file that does not exist yet.
fs::path FinalTarget(fs::path path) {
    constexpr int kMaxLinks = 40; // as the system's own limit on link chains
    for (int i = 0; i < kMaxLinks; ++i) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(path, ec))) {
            return path;
        }
        const fs::path link = fs::read_symlink(path, ec);
        if (ec) {
            return path;
        }
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    return path;
}

int ReplaceFile(const fs::path& named, const std::string& text) {
    // Replacing a symbolic link would cut it off from its file: replace the
    // file it points to, beside that file.
    const fs::path target = FinalTarget(named);
    fs::path dir = target.parent_path();
    if (dir.empty()) {
        dir = ".";
    }
    std::string tmpl = (dir / ("." + target.filename().string() + ".tmpXXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        return kFileOpenError;
    }
    const std::string tmpPath(name.data());
    // The new file gets the old file's permissions, or the usual ones for
    // a new file (mkstemp makes it private).
    struct stat st {};
    mode_t mode = 0;
    if (::stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd, mode) != 0) {
        // Permissions are a courtesy; the content is what matters.
    }
    bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
    if (::close(fd) != 0) {
        ok = false;
    }
    if (ok && ::rename(tmpPath.c_str(), target.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        ::unlink(tmpPath.c_str());
        return kFileWriteError;
    }
    // Make the rename itself durable.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return 0;
}

int AppendFile(const fs::path& target, const std::string& text) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd < 0) {
        return kFileOpenError;
    }
    bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
    if (::close(fd) != 0) {
        ok = false;
    }
    return ok ? 0 : kFileWriteError;
}
#else
int ReplaceFile(const fs::path& target, const std::string& text) {
    fs::path tmp = target;
    tmp += ".tmp";
    FILE* f = _wfopen(tmp.c_str(), L"wbx");
    if (f == nullptr) {
        return kFileOpenError;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0 &&
              _commit(_fileno(f)) == 0;
    if (std::fclose(f) != 0) {
        ok = false;
    }
    std::error_code ec;
    if (ok) {
        fs::rename(tmp, target, ec);
        ok = !ec;
    }
    if (!ok) {
        fs::remove(tmp, ec);
        return kFileWriteError;
    }
    return 0;
}

int AppendFile(const fs::path& target, const std::string& text) {
    FILE* f = _wfopen(target.c_str(), L"ab");
    if (f == nullptr) {
        return kFileOpenError;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0;
    if (std::fclose(f) != 0) {
        ok = false;
    }
    return ok ? 0 : kFileWriteError;
}
#endif

// True when a number read so far is a lone zero, after an optional sign.
bool IsLeadingZero(const std::string& token) {
    return token == "0" || token == "+0" || token == "-0";
}

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',';
}

bool AllDigits(const std::string& t) {
    if (t.empty()) {
        return false;
    }
    for (char c : t) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// Parses one token as a value of the element type; false when it is not a
// valid number of that type.
bool ParseToken(const std::string& t, int dataType, double& asDouble, long long& asInt) {
    if (dataType == VAL_DOUBLE || dataType == VAL_FLOAT) {
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(t.c_str(), &end);
        if (end == t.c_str() || *end != '\0' || !std::isfinite(v)) {
            return false;
        }
        if (dataType == VAL_FLOAT && std::fabs(v) > std::numeric_limits<float>::max()) {
            return false;
        }
        asDouble = v;
        return true;
    }
    long long lo = 0, hi = 0;
    bool isUnsigned = false;
    switch (dataType) {
    case VAL_CHAR:
        lo = -128;
        hi = 127;
        break;
    case VAL_UNSIGNED_CHAR:
        hi = 255;
        isUnsigned = true;
        break;
    case VAL_SHORT_INTEGER:
        lo = -32768;
        hi = 32767;
        break;
    case VAL_UNSIGNED_SHORT_INTEGER:
        hi = 65535;
        isUnsigned = true;
        break;
    case VAL_INTEGER:
        lo = std::numeric_limits<int>::min();
        hi = std::numeric_limits<int>::max();
        break;
    default: // VAL_UNSIGNED_INTEGER
        hi = 4294967295LL;
        isUnsigned = true;
        break;
    }
    std::string digits = t;
    bool negative = false;
    if (!isUnsigned && !digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.erase(0, 1);
    }
    if (!AllDigits(digits)) {
        return false;
    }
    // Leading zeros are harmless; more than 10 significant digits never fit.
    const std::size_t first = digits.find_first_not_of('0');
    if (first != std::string::npos && digits.size() - first > 10) {
        return false;
    }
    long long v = std::strtoll(digits.c_str(), nullptr, 10);
    if (negative) {
        v = -v;
    }
    if (v < lo || v > hi) {
        return false;
    }
    asInt = v;
    return true;
}

void StoreElement(void* array, int dataType, std::size_t i, double d, long long v) {
    switch (dataType) {
    case VAL_CHAR:
        static_cast<signed char*>(array)[i] = static_cast<signed char>(v);
        break;
    case VAL_UNSIGNED_CHAR:
        static_cast<unsigned char*>(array)[i] = static_cast<unsigned char>(v);
        break;
    case VAL_SHORT_INTEGER:
        static_cast<short*>(array)[i] = static_cast<short>(v);
        break;
    case VAL_UNSIGNED_SHORT_INTEGER:
        static_cast<unsigned short*>(array)[i] = static_cast<unsigned short>(v);
        break;
    case VAL_INTEGER:
        static_cast<int*>(array)[i] = static_cast<int>(v);
        break;
    case VAL_UNSIGNED_INTEGER:
        static_cast<unsigned int*>(array)[i] = static_cast<unsigned int>(v);
        break;
    case VAL_FLOAT:
        static_cast<float*>(array)[i] = static_cast<float>(d);
        break;
    default:
        static_cast<double*>(array)[i] = d;
        break;
    }
}

} // namespace

int ArrayToFile(const char* fileName, const void* array, int dataType, int numberOfElements,
                int numberOfGroups, int arrayDataOrder, int fileLayout, int columnSeparation,
                int fieldWidth, int fileType, int fileAction) {
    if (!ShapeOk(fileName, array, dataType, numberOfElements, numberOfGroups, arrayDataOrder,
                 fileLayout, fileType) ||
        (fileAction != VAL_TRUNCATE && fileAction != VAL_APPEND) || fieldWidth < 0 ||
        fieldWidth > 255) {
        return kFileBadArgument;
    }
    const std::string text = BuildText(array, dataType, numberOfElements, numberOfGroups,
                                       arrayDataOrder, fileLayout, columnSeparation, fieldWidth);
    const fs::path target(fileName);
    return fileAction == VAL_APPEND ? AppendFile(target, text) : ReplaceFile(target, text);
}

int FileToArray(const char* fileName, void* array, int dataType, int numberOfElements,
                int numberOfGroups, int arrayDataOrder, int fileLayout, int fileType) {
    if (!ShapeOk(fileName, array, dataType, numberOfElements, numberOfGroups, arrayDataOrder,
                 fileLayout, fileType)) {
        return kFileBadArgument;
    }
    std::error_code ec;
    if (fs::is_directory(fs::path(fileName), ec)) {
        return kFileOpenError;
    }
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        return kFileOpenError;
    }
    std::streambuf* src = in.rdbuf();
    using Traits = std::char_traits<char>;
    // A leading UTF-8 byte-order mark is not part of the data.
    static const char kBom[] = "\xEF\xBB\xBF";
    std::string token;
    for (int k = 0; k < 3 && Traits::eq_int_type(src->sgetc(), Traits::to_int_type(kBom[k])); ++k) {
        token += Traits::to_char_type(src->sbumpc());
    }
    if (token.size() == 3) {
        token.clear();
    }

    // Numbers are read one token at a time; the reader stops at the first
    // bad token or as soon as there is one number too many, so a huge file
    // chosen by mistake is neither loaded whole nor parsed to its end.
    const auto n = static_cast<std::size_t>(numberOfElements);
    constexpr std::size_t kMaxToken = 64;
    std::vector<double> doubles;
    std::vector<long long> ints;
    std::size_t count = 0;
    auto finishToken = [&]() -> int {
        if (token.empty()) {
            return 0;
        }
        double d = 0.0;
        long long v = 0;
        if (token.size() > kMaxToken || !ParseToken(token, dataType, d, v)) {
            return kFileBadNumber;
        }
        token.clear();
        if (++count > n) {
            return kFileExtraData;
        }
        doubles.push_back(d);
        ints.push_back(v);
        return 0;
    };
    for (;;) {
        const auto c = src->sbumpc();
        if (Traits::eq_int_type(c, Traits::eof())) {
            break;
        }
        const char ch = Traits::to_char_type(c);
        if (IsSeparator(ch)) {
            if (const int rc = finishToken(); rc != 0) {
                return rc;
            }
        } else if (IsLeadingZero(token) && ch >= '0' && ch <= '9') {
            // Leading zeros do not change a number: keep one, however many
            // there are, so that the length limit applies to the digits.
            token.back() = ch;
        } else if (token.size() <= kMaxToken) {
            token += ch;
        }
    }
    if (in.bad()) {
        return kFileOpenError;
    }
    if (const int rc = finishToken(); rc != 0) {
        return rc;
    }
    if (count < n) {
        return kFileTooShort;
    }

    // Token k of the file is line k / fields, field k % fields.
    const auto groups = static_cast<std::size_t>(numberOfGroups);
    const std::size_t perGroup = n / groups;
    const bool columns = fileLayout == VAL_GROUPS_AS_COLUMNS;
    const std::size_t fields = columns ? groups : perGroup;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t line = k / fields;
        const std::size_t f = k % fields;
        const std::size_t g = columns ? f : line;
        const std::size_t e = columns ? line : f;
        StoreElement(array, dataType, ArrayIndex(arrayDataOrder, g, e, groups, perGroup),
                     doubles[k], ints[k]);
    }
    return 0;
}
