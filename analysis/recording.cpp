// Recording of run answers: rows kept in memory, written at most once a
// second with plain appends (no waiting for the disk to confirm), header
// and sidecar written at the start.
#include "analysis/recording.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#if defined(_WIN32)
#include <climits>
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace korven::analysis {

namespace {

#if defined(_WIN32)
// Paths are UTF-8; the files are written byte for byte (no line-end
// translation), as on every system.
int OpenForWriting(const std::string& path, bool append) {
    return ::_wopen(std::filesystem::u8path(path).c_str(),
                    _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT |
                        (append ? _O_APPEND : _O_TRUNC),
                    _S_IREAD | _S_IWRITE);
}
long WriteSome(int fd, const char* p, std::size_t n) {
    return ::_write(fd, p, static_cast<unsigned>(std::min<std::size_t>(n, INT_MAX)));
}
int CloseFile(int fd) {
    return ::_close(fd);
}
#else
int OpenForWriting(const std::string& path, bool append) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC),
                  0666);
}
long WriteSome(int fd, const char* p, std::size_t n) {
    return ::write(fd, p, n);
}
int CloseFile(int fd) {
    return ::close(fd);
}
#endif

// The system's reason for the last failed write.
std::string gWriteError;

int FileSystemWrite(const std::string& path, std::string_view data, bool append) {
    const int fd = OpenForWriting(path, append);
    if (fd < 0) {
        gWriteError = std::strerror(errno);
        return -1;
    }
    bool ok = true;
    const char* p = data.data();
    std::size_t left = data.size();
    while (ok && left > 0) {
        const long n = WriteSome(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        if (!ok) {
            gWriteError = n < 0 ? std::strerror(errno) : "nothing written";
        }
        if (ok) {
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    // A full disk or a pulled stick may only show at close.
    if (CloseFile(fd) != 0 && ok) {
        gWriteError = std::strerror(errno);
        ok = false;
    }
    return ok ? 0 : -1;
}

WriteFunction gWrite = &FileSystemWrite;

// Appends what snprintf made of the format, cut at the buffer's end.
template <typename... Args>
void AppendFormatted(std::string& out, const char* format, Args... args) {
    char buf[320];
    const int n = std::snprintf(buf, sizeof buf, format, args...);
    if (n > 0) {
        out.append(buf, static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n)
                                                                 : sizeof buf - 1);
    }
}

// Appends one CSV row of the answer.
void AppendRow(std::string& out, const Answer& a, double since, std::int64_t wallMs) {
    out += LocalTimeText(wallMs);
    AppendFormatted(out, ",%.3f,%u,%u,%u,%d,%u,%u,%u,%u,%u,%d\n", since, a.left, a.right,
                    a.measured, a.um, a.setpoint, a.tolerance, a.edges, a.anaMax, a.anaMin,
                    InTolerance(a) ? 1 : 0);
}

} // namespace

const char* const kAnswerSchema = "korven-darir-answer/1";

std::string CsvRow(const Answer& a, double since, std::int64_t wallMs) {
    std::string out;
    AppendRow(out, a, since, wallMs);
    return out;
}

std::string JsonRow(const Answer& a, double since, std::int64_t wallMs) {
    std::string out = "{\"schema\":" + JsonText(kAnswerSchema) +
                      ",\"local_time\":" + JsonText(LocalTimeText(wallMs));
    AppendFormatted(out,
                    ",\"elapsed_s\":%.3f,\"left_edge_subpx\":%u,\"right_edge_subpx\":%u,"
                    "\"measured_value_subpx\":%u,\"value_um\":%d,\"setpoint_subpx\":%u,"
                    "\"tolerance_subpx\":%u,\"edge_count\":%u,\"analog_max_subpx\":%u,"
                    "\"analog_min_subpx\":%u,\"in_tolerance\":%s}\n",
                    since, a.left, a.right, a.measured, a.um, a.setpoint, a.tolerance, a.edges,
                    a.anaMax, a.anaMin, InTolerance(a) ? "true" : "false");
    return out;
}

const char* const kCsvHeader =
    "local_time,elapsed_s,left_edge_subpx,right_edge_subpx,measured_value_subpx,value_um,"
    "setpoint_subpx,tolerance_subpx,edge_count,analog_max_subpx,analog_min_subpx,"
    "in_tolerance\n";

bool InTolerance(const Answer& a) {
    const int off = static_cast<int>(a.measured) - static_cast<int>(a.setpoint);
    return (off < 0 ? -off : off) <= static_cast<int>(a.tolerance);
}

void SetWriteFunction(WriteFunction fn) {
    gWrite = fn != nullptr ? fn : &FileSystemWrite;
}

int WriteText(const std::string& path, std::string_view data, bool append) {
    gWriteError.clear();
    return gWrite(path, data, append);
}

namespace {

std::filesystem::path PathOf(const std::string& path) {
#if defined(_WIN32)
    return std::filesystem::u8path(path);
#else
    return std::filesystem::path(path);
#endif
}

} // namespace

bool RemoveFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::remove(PathOf(path), ec);
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(PathOf(path), ec);
}

std::string LastWriteError() {
    return gWriteError;
}

std::string JsonText(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string LocalTimeText(std::int64_t epochMs) {
    std::int64_t secs = epochMs / 1000;
    std::int64_t ms = epochMs % 1000;
    if (ms < 0) {
        ms += 1000;
        --secs;
    }
    const auto t = static_cast<std::time_t>(secs);
    std::tm tm{};
#if defined(_WIN32)
    if (::localtime_s(&tm, &t) != 0) {
        return "";
    }
#else
    if (::localtime_r(&t, &tm) == nullptr) {
        return "";
    }
#endif
    char buf[40];
    const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%.*s.%03d", static_cast<int>(n), buf, static_cast<int>(ms));
    return out;
}

bool Recorder::start(const std::string& csvPath, const std::string& sidecarPath,
                     std::string_view sidecarText, double now, std::int64_t wallMs) {
    active_ = false;
    pending_.clear();
    pendingRows_ = written_ = lost_ = 0;
    path_ = csvPath;
    if (WriteText(csvPath, kCsvHeader, false) != 0 ||
        WriteText(sidecarPath, sidecarText, false) != 0) {
        return false;
    }
    startTime_ = lastFlush_ = now;
    startWallMs_ = wallMs;
    active_ = true;
    return true;
}

bool Recorder::add(const Answer& a) {
    if (!active_) {
        return false;
    }
    const double since = a.time - startTime_;
    AppendRow(pending_, a, since, startWallMs_ + std::llround(since * 1000.0));
    ++pendingRows_;
    if (a.time - lastFlush_ >= kFlushInterval) {
        return writePending(a.time);
    }
    return true;
}

bool Recorder::flush(double now) {
    return active_ && writePending(now);
}

bool Recorder::stop(double now) {
    const bool ok = flush(now);
    active_ = false;
    return ok;
}

bool Recorder::writePending(double now) {
    lastFlush_ = now;
    if (pendingRows_ == 0) {
        return true;
    }
    const bool ok = WriteText(path_, pending_, true) == 0;
    if (ok) {
        written_ += pendingRows_;
    } else {
        lost_ += pendingRows_;
        active_ = false;
    }
    pending_.clear();
    pendingRows_ = 0;
    return ok;
}

} // namespace korven::analysis
