#include "sim/pty_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace korven::sim {

namespace {

long long MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Raw 8N1 at 19200 baud: no echo, no flow control, no CR/LF translation,
// every byte value passes.
bool MakeRaw(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B19200);
    ::cfsetospeed(&tio, B19200);
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

} // namespace

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string s;
    s.reserve(bytes.size() * 3);
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : " %02x", bytes[i]);
        s += buf;
    }
    return s;
}

PtyServer::PtyServer(ModelOptions model, PtyServerOptions options)
    : model_(std::move(model)), options_(std::move(options)) {
    if (!options_.devicePath.empty()) {
        options_.lineTiming = false;
    }
    if (options_.byteTime < 0.0) {
        options_.byteTime = 0.0;
    }
    // A pty hands the bytes over at once; with line timing they are taken
    // in as a real line brings them, one byte time each.
    model_.setByteTime(options_.lineTiming ? options_.byteTime : 0.0);
    model_.setFrameObserver([this](double t, const Bytes& frame) {
        if (options_.log) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%12.6f", t);
            log(std::string(stamp) + " RX cmd " + std::to_string(SensorModel::wordAt(frame, 2)) +
                " (" + std::to_string(frame.size()) + " bytes): " + HexBytes(frame));
        }
    });
    model_.setDiscardObserver([this](double t, const Bytes& bytes) {
        if (options_.log) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%12.6f", t);
            log(std::string(stamp) + " RX discarded " + std::to_string(bytes.size()) +
                " bytes while looking for a frame start: " + HexBytes(bytes));
        }
    });
}

PtyServer::~PtyServer() {
    stop();
}

double PtyServer::now() const {
    return static_cast<double>(MonotonicNs() - startNs_) * 1e-9;
}

void PtyServer::log(const std::string& line) const {
    if (options_.log) {
        options_.log(line);
    }
}

void PtyServer::setFaults(const Faults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.setFaults(faults);
}

bool PtyServer::openPty(std::string& error) {
    ioFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ioFd_ < 0) {
        error = Errno("posix_openpt");
        return false;
    }
    if (::grantpt(ioFd_) != 0 || ::unlockpt(ioFd_) != 0) {
        error = Errno("grantpt/unlockpt");
        return false;
    }
    char name[128] = {};
    if (::ptsname_r(ioFd_, name, sizeof name) != 0) {
        error = Errno("ptsname_r");
        return false;
    }
    slavePath_ = name;
    slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slaveFd_ < 0) {
        error = Errno("open " + slavePath_);
        return false;
    }
    if (!MakeRaw(slaveFd_)) {
        error = Errno("raw mode on " + slavePath_);
        return false;
    }
    if (!SetNonBlocking(ioFd_)) {
        error = Errno("non-blocking pty master");
        return false;
    }
    return true;
}

bool PtyServer::openDevice(std::string& error) {
    slavePath_ = options_.devicePath;
    ioFd_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (ioFd_ < 0) {
        error = Errno("open " + slavePath_);
        return false;
    }
    if (!MakeRaw(ioFd_)) {
        error = Errno("serial settings on " + slavePath_);
        return false;
    }
    ::tcflush(ioFd_, TCIOFLUSH);
    return true;
}

bool PtyServer::makeLink(std::string& error) {
    if (options_.linkPath.empty()) {
        return true;
    }
    struct stat st {};
    if (::lstat(options_.linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = options_.linkPath + " exists and is not a symbolic link; not replaced";
            return false;
        }
        ::unlink(options_.linkPath.c_str());
    }
    if (::symlink(slavePath_.c_str(), options_.linkPath.c_str()) != 0) {
        error = Errno("symlink " + options_.linkPath);
        return false;
    }
    linkPath_ = options_.linkPath;
    return true;
}

void PtyServer::removeLink() {
    if (linkPath_.empty()) {
        return;
    }
    // Only remove the link if it still points at our slave.
    char target[512] = {};
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath_) {
        ::unlink(linkPath_.c_str());
    }
    linkPath_.clear();
}

void PtyServer::closeAll() {
    for (int* fd : {&ioFd_, &slaveFd_, &wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

bool PtyServer::start(std::string* error) {
    if (running_) {
        return true;
    }
    std::string why;
    int pipeFds[2];
    bool ok = ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) == 0;
    if (!ok) {
        why = Errno("pipe");
    } else {
        wakeRead_ = pipeFds[0];
        wakeWrite_ = pipeFds[1];
        ok = options_.devicePath.empty() ? openPty(why) : openDevice(why);
    }
    if (ok) {
        ok = makeLink(why);
    }
    if (!ok) {
        closeAll();
        slavePath_.clear();
        if (error != nullptr) {
            *error = why;
        }
        return false;
    }
    startNs_ = MonotonicNs();
    lineFree_ = 0.0;
    inputFree_ = 0.0;
    queue_.clear();
    stopRequested_ = false;
    running_ = true;
    log("serving " + std::string(model_.preset().name) + " on " + slavePath_ +
        (linkPath_.empty() ? "" : " (link " + linkPath_ + ")"));
    thread_ = std::thread([this] { run(); });
    return true;
}

void PtyServer::stop() {
    if (!running_) {
        return;
    }
    stopRequested_ = true;
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &wake, 1);
    if (thread_.joinable()) {
        thread_.join();
    }
    removeLink();
    closeAll();
    running_ = false;
}

void PtyServer::enqueue(std::vector<Output> outputs) {
    const double bt = options_.lineTiming ? options_.byteTime : 0.0;
    for (Output& o : outputs) {
        // The line is serial: an answer starts when the previous one is out.
        Pending p;
        p.start = std::max(o.due, lineFree_);
        p.command = o.command;
        p.bytes = std::move(o.bytes);
        lineFree_ = p.start + static_cast<double>(p.bytes.size()) * bt;
        queue_.push_back(std::move(p));
    }
}

double PtyServer::nextWake() const {
    if (queue_.empty()) {
        return -1.0;
    }
    const Pending& p = queue_.front();
    if (!options_.lineTiming) {
        return p.start;
    }
    // Byte k has fully gone out on a real line at start + (k + 1) byte times.
    return p.start + static_cast<double>(p.sent + 1) * options_.byteTime;
}

// Writes every byte that is due by now; false when the pty is full.
bool PtyServer::writeDue(double t) {
    while (!queue_.empty()) {
        Pending& p = queue_.front();
        std::size_t due = p.bytes.size();
        if (options_.lineTiming && options_.byteTime > 0.0) {
            const double k = std::floor((t - p.start) / options_.byteTime + 1e-9);
            due = k <= 0.0 ? 0 : std::min(p.bytes.size(), static_cast<std::size_t>(k));
        } else if (t < p.start) {
            due = 0;
        }
        if (due <= p.sent) {
            return true;
        }
        if (p.sent == 0 && options_.log) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%12.6f", t);
            log(std::string(stamp) + " TX cmd " + std::to_string(p.command) + " (" +
                std::to_string(p.bytes.size()) + " bytes): " + HexBytes(p.bytes));
        }
        const ssize_t n = ::write(ioFd_, p.bytes.data() + p.sent, due - p.sent);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return false;
            }
            log("write failed: " + std::string(std::strerror(errno)) + "; answer dropped");
            queue_.pop_front();
            continue;
        }
        p.sent += static_cast<std::size_t>(n);
        if (p.sent < due) {
            return false; // partial write: the pty is full
        }
        if (p.sent == p.bytes.size()) {
            queue_.pop_front();
        }
    }
    return true;
}

void PtyServer::run() {
    std::uint8_t buf[4096];
    bool blocked = false;
    bool hungUp = false;
    while (!stopRequested_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            blocked = !writeDue(now());
        }
        int timeoutMs = 200;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const double wake = nextWake();
            if (wake >= 0.0 && !blocked) {
                const double wait = wake - now();
                timeoutMs = wait <= 0.0 ? 0 : std::min(200, static_cast<int>(wait * 1000.0));
            }
        }
        pollfd fds[2] = {{ioFd_, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0},
                         {wakeRead_, POLLIN, 0}};
        // Sub-millisecond waits: spin briefly with short sleeps instead of
        // sleeping a whole millisecond past the due time.
        int ready = 0;
        if (timeoutMs == 0 && !blocked) {
            ready = ::poll(fds, 2, 0);
            if (ready == 0) {
                ::usleep(100);
                continue;
            }
        } else {
            ready = ::poll(fds, 2, timeoutMs);
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            log("poll failed: " + std::string(std::strerror(errno)));
            break;
        }
        if (fds[1].revents & POLLIN) {
            char drain[16];
            while (::read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(ioFd_, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                // The time the piece's last byte would have arrived.
                double t = now();
                if (options_.lineTiming) {
                    t = std::max(t, inputFree_) + static_cast<double>(n) * options_.byteTime;
                    inputFree_ = t;
                }
                enqueue(model_.receive(
                    t, std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n))));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                // EIO on a pty master means no slave is open; we hold one,
                // so this is a device problem: do not spin on it.
                ::usleep(20000);
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            if (!hungUp) {
                log("the line hung up; waiting for it to come back");
            }
            hungUp = true;
            ::usleep(20000);
            continue;
        }
        hungUp = false;
    }
}

} // namespace korven::sim
