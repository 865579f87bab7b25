// The engine's serial functions of a back end, on SerialPorts: the same in
// the desktop program's back end and the command line's.
#pragma once

#include "runtime/backend.h"
#include "runtime/qt/qt_serial.h"

namespace korven::rt::qt {

template <typename Base> class SerialPortsBackend : public Base {
  public:
    using Base::Base;

    int openCom(int port, const ComSettings& settings) override {
        return serialPorts().open(port, settings);
    }
    int closeCom(int port) override { return serialPorts().close(port); }
    int setComTime(int port, double seconds) override {
        return serialPorts().setTimeout(port, seconds);
    }
    int setCTSMode(int port, int mode) override { return serialPorts().setCtsMode(port, mode); }
    int installComCallback(int port, int eventMask, int notifyCount, int eventChar,
                           ComCallbackPtr fn, void* data) override {
        return serialPorts().installCallback(port, eventMask, notifyCount, eventChar, fn, data);
    }
    int flushInQ(int port) override { return serialPorts().flushIn(port); }
    int flushOutQ(int port) override { return serialPorts().flushOut(port); }
    int comWrt(int port, std::span<const std::uint8_t> bytes) override {
        return serialPorts().write(port, bytes);
    }
    int comRd(int port, std::span<std::uint8_t> buffer) override {
        return serialPorts().read(port, buffer);
    }
    int getInQLen(int port) override { return serialPorts().inQueueLength(port); }

  protected:
    virtual SerialPorts& serialPorts() = 0;
};

} // namespace korven::rt::qt
