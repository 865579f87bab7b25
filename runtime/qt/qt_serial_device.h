// One opened serial line as the operating system gives it: bytes in and out,
// the count it holds, and a wake-up when bytes arrive. SerialPorts builds
// the engine's receive rules (its own input queue, the receive notification,
// time-outs) on top of this, the same on every system.
#pragma once

#include "runtime/backend.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace korven::rt::qt {

class SerialDevice {
  public:
    virtual ~SerialDevice() = default;

    // Opens `device` exclusively as `settings` say (data bits, parity, stop
    // bits and speed already checked). On failure returns null with the
    // engine's error in *error: kComNoSerialPort when nothing is there,
    // kComCannotOpenPort when it is busy or forbidden, kComInvalidParameter
    // when the line refuses a setting. What the device needs of the event
    // loop is owned by `owner`.
    static std::unique_ptr<SerialDevice> Open(const QString& device, const ComSettings& settings,
                                              QObject* owner, int* error);
    // Whether the system knows a serial line by this name now.
    static bool Exists(const QString& device);
    // Whether the system can drive this speed.
    static bool SpeedSupported(long baud);

    // Moves up to `max` received bytes into `buffer` without waiting.
    // Returns the count (0 when nothing is waiting), or -1 when the line
    // hung up (an unplugged adapter, a closed pseudo-terminal).
    virtual std::ptrdiff_t readSome(char* buffer, std::size_t max) = 0;
    // Waits at most `ms` for bytes to read (or the line to hang up).
    virtual void waitReadable(int ms) = 0;
    // Bytes received that readSome has not yet given, or -1 when the line
    // hung up.
    virtual int held() = 0;

    enum class WriteEnd { Done, TimedOut, Failed, HungUp };
    struct Written {
        std::size_t count = 0;
        WriteEnd end = WriteEnd::Done;
    };
    // Writes `bytes`, waiting at most `ms` for the system to take them.
    virtual Written write(const std::uint8_t* bytes, std::size_t size, std::int64_t ms) = 0;

    virtual void flushIn() = 0;
    virtual void flushOut() = 0;
    virtual bool setCtsFlow(bool on) = 0;

    // While watching, `onReadable` runs from the event loop (never from
    // inside a call of this object) when bytes are waiting. Each run may be
    // the last until watching is switched on again.
    virtual void setWatching(bool on) = 0;
    std::function<void()> onReadable;
};

} // namespace korven::rt::qt
