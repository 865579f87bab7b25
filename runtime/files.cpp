// ArrayToFile and FileToArray: the parameter file, a column of unsigned
// numbers in an ASCII text file. Shared by every back end; plain C++ and the
// operating system's file calls.
#include "runtime/engine.h"

#include <algorithm>
#include <cerrno>
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
#include <chrono>
#include <io.h>
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

// The system's reason for the last failed write.
std::string gLastFileError;

void NoteError(const std::string& reason) {
    gLastFileError = reason;
}

// The one shape the program uses: unsigned 32-bit words, one group, one
// number per line. Everything else is refused as an unsupported argument.
bool ShapeOk(const char* fileName, const void* array, int dataType, int numberOfElements,
             int numberOfGroups, int arrayDataOrder, int fileLayout, int fileType) {
    return fileName != nullptr && *fileName != '\0' && array != nullptr &&
           dataType == VAL_UNSIGNED_INTEGER && numberOfElements > 0 && numberOfGroups == 1 &&
           arrayDataOrder == VAL_GROUPS_TOGETHER && fileLayout == VAL_GROUPS_AS_COLUMNS &&
           fileType == VAL_ASCII;
}

// One number per line, right-aligned in `fieldWidth` characters.
std::string BuildText(const unsigned* words, std::size_t count, int fieldWidth) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string v = std::to_string(words[i]);
        if (v.size() < static_cast<std::size_t>(fieldWidth)) {
            out.append(static_cast<std::size_t>(fieldWidth) - v.size(), ' ');
        }
        out += v;
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
        NoteError(std::strerror(errno));
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
    if (!ok) {
        NoteError(std::strerror(errno));
    }
    if (::close(fd) != 0 && ok) {
        NoteError(std::strerror(errno));
        ok = false;
    }
    if (ok && ::rename(tmpPath.c_str(), target.c_str()) != 0) {
        NoteError(std::strerror(errno));
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

#else
// The same on Windows, where a file cannot be renamed over an open one:
// write a temporary file of a name of its own beside the target (a name
// left by an earlier crash is never taken, so it blocks nothing), force
// it to disk, then move it over the target.
int ReplaceFile(const fs::path& target, const std::string& text) {
    static unsigned counter = 0;
    const unsigned long long stamp = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    constexpr int kTries = 100;
    fs::path tmp;
    FILE* f = nullptr;
    for (int i = 0; i < kTries && f == nullptr; ++i) {
        tmp = target;
        tmp += L"." + std::to_wstring(_getpid()) + L"-" + std::to_wstring(stamp) + L"-" +
               std::to_wstring(++counter) + L".tmp";
        f = _wfopen(tmp.c_str(), L"wbx");
        if (f == nullptr && errno != EEXIST) {
            break;
        }
    }
    if (f == nullptr) {
        NoteError(std::strerror(errno));
        return kFileOpenError;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0 &&
              _commit(_fileno(f)) == 0;
    if (!ok) {
        NoteError(std::strerror(errno));
    }
    if (std::fclose(f) != 0 && ok) {
        NoteError(std::strerror(errno));
        ok = false;
    }
    std::error_code ec;
    if (ok) {
        fs::rename(tmp, target, ec);
        if (ec) {
            NoteError(ec.message());
            ok = false;
        }
    }
    if (!ok) {
        fs::remove(tmp, ec);
        return kFileWriteError;
    }
    return 0;
}
#endif

// True when a number read so far is a lone zero.
bool IsLeadingZero(const std::string& token) {
    return token == "0";
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

// Parses one token as an unsigned 32-bit number; false when it is not one.
bool ParseToken(const std::string& digits, unsigned& value) {
    if (!AllDigits(digits)) {
        return false;
    }
    // Leading zeros are harmless; more than 10 significant digits never fit.
    const std::size_t first = digits.find_first_not_of('0');
    if (first != std::string::npos && digits.size() - first > 10) {
        return false;
    }
    const unsigned long long v = std::strtoull(digits.c_str(), nullptr, 10);
    if (v > std::numeric_limits<unsigned>::max()) {
        return false;
    }
    value = static_cast<unsigned>(v);
    return true;
}

} // namespace

int ArrayToFile(const char* fileName, const void* array, int dataType, int numberOfElements,
                int numberOfGroups, int arrayDataOrder, int fileLayout, int columnSeparation,
                int fieldWidth, int fileType, int fileAction) {
    gLastFileError.clear();
    if (!ShapeOk(fileName, array, dataType, numberOfElements, numberOfGroups, arrayDataOrder,
                 fileLayout, fileType) ||
        columnSeparation != VAL_CONST_WIDTH || fileAction != VAL_TRUNCATE || fieldWidth < 0 ||
        fieldWidth > 255) {
        return kFileBadArgument;
    }
    const std::string text = BuildText(static_cast<const unsigned*>(array),
                                       static_cast<std::size_t>(numberOfElements), fieldWidth);
    return ReplaceFile(fs::path(fileName), text);
}

std::string LastFileError() {
    return gLastFileError;
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
    std::vector<unsigned> values;
    auto finishToken = [&]() -> int {
        if (token.empty()) {
            return 0;
        }
        unsigned v = 0;
        if (token.size() > kMaxToken || !ParseToken(token, v)) {
            return kFileBadNumber;
        }
        token.clear();
        if (values.size() == n) {
            return kFileExtraData;
        }
        values.push_back(v);
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
    if (values.size() < n) {
        return kFileTooShort;
    }
    std::copy(values.begin(), values.end(), static_cast<unsigned*>(array));
    return 0;
}
