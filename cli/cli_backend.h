// The back end of the command-line program: the headless engine's panels
// in memory, on the real clock, over the serial ports of the system (and
// the network ports they reach). The program's procedures run on it as
// they run on the desktop program, with no window.
#pragma once

#include "runtime/headless/headless.h"
#include "runtime/qt/qt_serial.h"
#include "runtime/qt/qt_serial_backend.h"

#include <QString>

#include <functional>
#include <memory>

namespace korven::cli {

class CliBackend : public rt::qt::SerialPortsBackend<rt::headless::HeadlessBackend> {
  public:
    // Needs a QCoreApplication for the ports' event processing.
    CliBackend();
    ~CliBackend() override;

    rt::qt::SerialPorts& ports() { return *serial_; }
    // Runs at every event pass (a loop's wait, a command's wait): the
    // command line stops a loop from here.
    void onEventPass(std::function<void()> fn) { onPass_ = std::move(fn); }

    double timer() override;
    void delay(double seconds) override;
    int processSystemEvents() override;

  protected:
    rt::qt::SerialPorts& serialPorts() override { return *serial_; }

  private:
    std::unique_ptr<rt::qt::SerialPorts> serial_;
    std::function<void()> onPass_;
};

} // namespace korven::cli
