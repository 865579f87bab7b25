// Internal to the serial ports of the Qt back end: the helpers and constants
// that the port list and the serial line share.
#pragma once

#include "runtime/qt/qt_serial.h"

#include <QString>

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

PortEntry Entry(int number, const QString& device = {}, const QString& description = {});

} // namespace korven::rt::qt::detail
