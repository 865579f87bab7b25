// Port set-up and connection sequence: open the serial port with the fixed
// line settings, install the receive notification, check the line and
// identify the sensor.
#include "analysis/panel.h"
#include "app/line_owner.h"
#include "app/setup_record.h"
#include "display/gui.h"
#include "link/com232.h"
#include "link/line_guard.h"

namespace korven {

namespace {

// Operator text for a negative result of opening the port.
const char* OpenErrorText(int code) {
    switch (code) {
    case kComUnknownSystemError:
        return "Unknown system error";
    case kComInvalidPortNumber:
        return "Invalid port number";
    case kComPortNotOpen:
        return "Port is not open";
    case kComUnknownIOError:
        return "Unknown I/0 error";
    case kComNoSerialPort:
        return "No serial port found";
    case kComCannotOpenPort:
        return "Cannot open port";
    case kComInvalidParameter:
        return "Invalid parameter";
    case kComTimeout:
        return "Timeout";
    default:
        return "RS-232 error!";
    }
}

// Pause between the exchanges of the connection sequence, seconds.
constexpr double kStepPause = 0.1;
// The last part of a pause is slept through, so that a pause ends on time
// rather than after the event wait that crosses its end.
constexpr double kPauseTail = 0.01;
// Line settings: 19200 baud, no parity, 8 data bits, 1 stop bit.
constexpr long kBaudRate = 19200;
constexpr int kQueueBytes = 4096;
constexpr double kPortTimeout = 2.0;
// Bytes of a complete firmware text.
constexpr int kFirmwareBytes = 72;

// The pause between two exchanges. The panel stays alive meanwhile; the
// commands that use the line wait for the end of the sequence.
void StepPause() {
    const double end = Timer() + kStepPause;
    for (double left = kStepPause; left > kPauseTail; left = end - Timer()) {
        ProcessSystemEvents();
    }
    const double left = end - Timer();
    if (left > 0.0) {
        Delay(left);
    }
}

} // namespace

void InitRS232(int port) {
    // Other commands that use the line run after the whole sequence.
    const LineCommand onLine;
    ret = OpenComConfig(port, "", kBaudRate, 0, 8, 1, kQueueBytes, kQueueBytes);
    if (ret < 0) {
        SetStatusText(OpenErrorText(ret));
        ShowStatus();
        return;
    }

    // The count of a disturbed line starts afresh with each connection.
    ResetDisturbance();
    SetComTime(port, kPortTimeout);
    FlushInQ(port);
    FlushOutQ(port);
    SetCTSMode(port, 0);
    InstallComCallback(port, eventMask, kFrameBytes, sync, RX_Receive_Function, nullptr);

    // The line check leaves its own text when it fails; nothing else is
    // asked of a sensor that does not answer the echo.
    bool identified = false;
    ret = CheckComLine(port);
    if (ret == 1) {
        StepPause();
        ret = GetHARDWAREInfo();
        if (ret == 0) {
            SetStatusText("Error reading HARDWARE-info!");
        } else {
            // A sensor identified itself here: the run-time may offer this
            // adapter first next time (an adapter that was only opened is not).
            ComPortAnswered(port);
            record::NoteSensorIdentified(port);
            identified = true;
        }

        // The parameter set comes from RAM, and SEND and GET go there next:
        // the target buttons must say so.
        StepPause();
        SelectRamTarget();
        PushGET(RAM);

        StepPause();
        ret = GetVERSIONInfo();
        if (ret < kFirmwareBytes) {
            SetStatusText("Error reading firmware-info!");
        }
    }
    ShowStatus();
    if (identified) {
        NotifyProgramEvent(ProgramEvent(ProgramEventKind::Identified));
    }
}

} // namespace korven
