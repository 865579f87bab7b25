// A pseudo-terminal in raw mode for the tests: the program opens `path`
// (or a server in front of it does), the test plays the device on `master`.
#pragma once

#include <QByteArray>
#include <QString>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

struct Pty {
    int master = -1, slave = -1;
    QString path;
    Pty() {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            termios t{};
            ::tcgetattr(slave, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(slave, TCSANOW, &t);
            path = QString::fromLocal8Bit(name);
        }
    }
    void close() {
        ::close(master);
        ::close(slave);
        master = slave = -1;
    }
    ~Pty() { close(); }

    // Reads `n` bytes the program sent, waiting up to five seconds.
    QByteArray take(int n) const {
        QByteArray got;
        pollfd p{master, POLLIN, 0};
        while (got.size() < n && ::poll(&p, 1, 5000) > 0) {
            char buf[256];
            const ssize_t r = ::read(master, buf, sizeof buf);
            if (r <= 0) {
                break;
            }
            got.append(buf, r);
        }
        return got;
    }
    // The line's speed as the terminal is set now.
    speed_t speed() const {
        termios t{};
        ::tcgetattr(slave, &t);
        return ::cfgetospeed(&t);
    }
};
