// Internal to the serial ports of the Qt back end: the helpers and constants
// that the port list and the serial line share.
#pragma once

#include "runtime/qt/qt_serial.h"
#include "runtime/qt/qt_serial_device.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

#include <functional>
#include <memory>

namespace korven::rt::qt {

struct SerialPorts::Reach {
    bool unreachable = false;
    QPointer<QTcpSocket> trying;            // the try to connect under way
    std::unique_ptr<QTcpSocket> connection; // made by the last try, for the next open
    QDeadlineTimer keep;                    // until when it waits for that
};

} // namespace korven::rt::qt

namespace korven::rt::qt::detail {

constexpr int kMaxPortNumber = 255;
// How often the port list looks for added and removed devices.
constexpr int kRescanMs = 1000;

// Whether the user may read and write `path`; when not, `group` is the
// group that owns it. A missing device is no matter of permission, nor is
// any device where the system does not keep such permissions.
bool Permitted(const QString& path, QString* owner);

// The system's serial lines now, sorted by name, with what identifies
// their adapters; `cache` keeps the last answer while the system's lists
// have not changed.
std::vector<FoundPort> SystemPorts(SystemPortCache& cache);

// Whether two names lead to the same device.
bool SameDevice(const QString& a, const QString& b);

// The system's own serial lines (SerialDevice::Open and Exists for a
// device, not a network address), defined per platform.
std::unique_ptr<SerialDevice> OpenLocalDevice(const QString& device, const ComSettings& settings,
                                              QObject* owner, int* error);
bool LocalDeviceExists(const QString& device);

// Whether `device` names a network port (a "scheme://" address, well formed
// or not) rather than a device.
bool IsAddress(const QString& device);

// Opens a network port as SerialDevice::Open does; `connected` (may be null)
// is a connection to its server made already. On failure *reason says why
// in words for the operator.
std::unique_ptr<SerialDevice> OpenNetworkPort(const QString& address, const ComSettings& settings,
                                              QObject* owner, int* error, QString* reason,
                                              std::unique_ptr<QTcpSocket> connected);

// Tries to connect to a network port's server without waiting: `done` runs
// later from the event loop with the connection, or null when none came
// within the address's time-out. Returns the socket trying (a child of
// `owner`; deleting it ends the try without `done`), null for a malformed
// address.
QTcpSocket* ReachAddress(const QString& address, QObject* owner,
                         std::function<void(std::unique_ptr<QTcpSocket>)> done);

#if !defined(_WIN32)
// Asks the driver of an open terminal to hand received bytes on at once.
enum class LowLatency { On, Refused };
LowLatency AskLowLatency(int fd);
#endif

PortEntry Entry(int number, const QString& device = {}, const QString& description = {});

} // namespace korven::rt::qt::detail
