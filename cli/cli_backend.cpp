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
    : SerialPortsBackend(Options()), serial_(std::make_unique<rt::qt::SerialPorts>()) {}

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

} // namespace korven::cli
