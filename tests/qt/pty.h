// A pseudo-terminal in raw mode for the tests: the program opens `path`,
// the test writes to and reads from `master`.
#pragma once

#include <QString>

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
};
