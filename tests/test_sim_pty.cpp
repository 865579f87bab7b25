// The virtual sensor served on a pseudo-terminal, as a serial client sees it.
// Answer lengths, line timing, a client reopening the port, the link's
// removal and the EEPROM file are checked from outside the program by
// tests/sim/pty_client_test.py; this suite covers what only the server's
// own interface can reach.
#include "sim/pty_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

namespace sim = korven::sim;
using sim::Bytes;
using sim::SensorModel;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int OpenClient(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// Reads until count bytes or `timeout` seconds without them.
Bytes ReadFor(int fd, std::size_t count, double timeout) {
    Bytes data;
    const double end = Now() + timeout;
    pollfd p{fd, POLLIN, 0};
    std::uint8_t buf[1024];
    while (data.size() < count &&
           ::poll(&p, 1, std::max(0, static_cast<int>((end - Now()) * 1000) + 1)) > 0) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        data.insert(data.end(), buf, buf + n);
    }
    return data;
}

Bytes Exchange(int fd, int command, std::initializer_list<std::uint16_t> words, std::size_t expect,
               double* elapsed = nullptr) {
    ::tcflush(fd, TCIOFLUSH);
    const Bytes frame = SensorModel::commandFrame(command, words);
    const double t0 = Now();
    EXPECT_EQ(::write(fd, frame.data(), frame.size()), 36);
    Bytes answer = ReadFor(fd, expect, 1.5);
    if (elapsed != nullptr) {
        *elapsed = Now() - t0;
    }
    return answer;
}

TEST(SimPty, AnswersUntilSilencedWhileRunningAndStopsOnce) {
    sim::PtyServer server;
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    EXPECT_TRUE(server.running());
    const int fd = OpenClient(server.path());
    ASSERT_GE(fd, 0) << server.path();
    // The answer's words and its time on the line are checked from outside
    // by pty_client_test.py; here the server answers until it is silenced.
    ASSERT_EQ(Exchange(fd, sim::kCmdEcho, {0xABCD}, 36).size(), 36u);

    server.withModel([](SensorModel& m) {
        m.faults().silent = true;
        return 0;
    });
    const Bytes echo = SensorModel::commandFrame(sim::kCmdEcho, {});
    ASSERT_EQ(::write(fd, echo.data(), echo.size()), 36);
    EXPECT_TRUE(ReadFor(fd, 1, 0.3).empty());
    ::close(fd);
    server.stop();
    server.stop(); // a second stop does nothing
    EXPECT_FALSE(server.running());
}

TEST(SimPty, WithoutLineTimingTheAnswerComesAtOnce) {
    sim::PtyServerOptions options;
    options.lineTiming = false;
    sim::ModelOptions model;
    model.processingTime = 0.0;
    sim::PtyServer server(model, options);
    ASSERT_TRUE(server.start());
    const int fd = OpenClient(server.path());
    ASSERT_GE(fd, 0);
    // Paced, the first 64-sample block alone would take 67 ms; a quarter
    // second is generous even on a loaded machine.
    double elapsed = 0;
    for (const std::uint16_t start :
         {std::uint16_t{0}, std::uint16_t{64}, std::uint16_t{128}, std::uint16_t{192}}) {
        double one = 0;
        EXPECT_EQ(Exchange(fd, sim::kCmdVideo64, {start, static_cast<std::uint16_t>(start == 192)},
                           128, &one)
                      .size(),
                  128u);
        elapsed += one;
    }
    EXPECT_LT(elapsed, 4 * 128 * sim::kByteTime19200);
    ::close(fd);
}

TEST(SimPty, TheLinkIsMadeReplacedAndRemovedButNeverOverAFile) {
    const std::string link =
        (std::filesystem::temp_directory_path() / ("korven-sim-link-" + std::to_string(::getpid())))
            .string();
    std::filesystem::remove(link);
    std::filesystem::create_symlink("/nonexistent/old-target", link);
    {
        sim::PtyServerOptions options;
        options.linkPath = link;
        sim::PtyServer server({}, options);
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
        EXPECT_EQ(server.path(), link);
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), server.slavePath());
    } // the destructor stops the server
    EXPECT_FALSE(std::filesystem::is_symlink(link));

    // A regular file at the link's place is not touched.
    { std::ofstream(link) << "keep me"; }
    sim::PtyServerOptions options;
    options.linkPath = link;
    sim::PtyServer server({}, options);
    std::string error;
    EXPECT_FALSE(server.start(&error));
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
    std::ifstream in(link);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
    std::filesystem::remove(link);
}

TEST(SimPty, ServesARealSerialDevice) {
    // Stand-in for a serial device: the slave of a pty we open ourselves;
    // the client talks on its master.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    sim::PtyServerOptions options;
    options.devicePath = ::ptsname(master);
    sim::PtyServer server({}, options);
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    EXPECT_EQ(server.path(), options.devicePath);
    const Bytes frame = SensorModel::commandFrame(sim::kCmdEcho, {7});
    ASSERT_EQ(::write(master, frame.data(), frame.size()), 36);
    const Bytes a = ReadFor(master, 36, 1.5);
    ASSERT_EQ(a.size(), 36u);
    EXPECT_EQ(SensorModel::dataWord(a, 0), 7);
    server.stop();
    ::close(master);

    sim::PtyServerOptions missing;
    missing.devicePath = "/dev/no-such-serial-device";
    sim::PtyServer none({}, missing);
    EXPECT_FALSE(none.start(&error));
    EXPECT_NE(error.find("/dev/no-such-serial-device"), std::string::npos);
}

} // namespace
