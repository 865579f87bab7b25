#include "cli/cli_backend.h"

#include "runtime/qt/qt_events.h"

namespace korven::cli {

namespace {

rt::headless::HeadlessOptions Options() {
    rt::headless::HeadlessOptions o;
    o.projectDir = rt::qt::ProgramDataDir();
    return o;
}

} // namespace

CliBackend::CliBackend()
    : HeadlessBackend(Options()), serial_(std::make_unique<rt::qt::SerialPorts>()) {}

CliBackend::~CliBackend() = default;

double CliBackend::timer() {
    return rt::qt::SteadySeconds();
}

void CliBackend::delay(double seconds) {
    rt::qt::SleepSeconds(seconds);
}

int CliBackend::processSystemEvents() {
    rt::qt::ProcessEventsAndPorts(*serial_);
    if (onPass_) {
        onPass_();
    }
    return 0;
}

int CliBackend::openCom(int port, const rt::ComSettings& settings) {
    return serial_->open(port, settings);
}
int CliBackend::closeCom(int port) {
    return serial_->close(port);
}
int CliBackend::setComTime(int port, double seconds) {
    return serial_->setTimeout(port, seconds);
}
int CliBackend::setCTSMode(int port, int mode) {
    return serial_->setCtsMode(port, mode);
}
int CliBackend::installComCallback(int port, int eventMask, int notifyCount, int eventChar,
                                   ComCallbackPtr fn, void* data) {
    return serial_->installCallback(port, eventMask, notifyCount, eventChar, fn, data);
}
int CliBackend::flushInQ(int port) {
    return serial_->flushIn(port);
}
int CliBackend::flushOutQ(int port) {
    return serial_->flushOut(port);
}
int CliBackend::comWrt(int port, std::span<const std::uint8_t> bytes) {
    return serial_->write(port, bytes);
}
int CliBackend::comRd(int port, std::span<std::uint8_t> buffer) {
    return serial_->read(port, buffer);
}
int CliBackend::getInQLen(int port) {
    return serial_->inQueueLength(port);
}

} // namespace korven::cli
