// The port list: serial devices found by the system or watched paths, and
// numbers given to them by the scan, by a mapping or by the remembered adapter.
#include "runtime/qt/qt_serial.h"
#include "runtime/qt/qt_serial_internal.h"

#include "runtime/port_address.h"
#include "runtime/qt/qt_serial_device.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTcpSocket>

#include <algorithm>
#include <set>

namespace korven::rt::qt {

namespace detail {

PortEntry Entry(int number, const QString& device, const QString& description) {
    PortEntry e;
    e.number = number;
    e.device = device;
    e.description = description;
    e.present = !device.isEmpty();
    return e;
}

} // namespace detail

using detail::Entry;
using detail::IsAddress;
using detail::kMaxPortNumber;
using detail::Permitted;

namespace {

// How long a connection made to see whether a network port's server is back
// waits for the open that follows.
constexpr int kKeepConnectionMs = 5000;
const QString kNetworkPortsKey = QStringLiteral("network/ports");

bool SameDeviceOrAddress(const QString& a, const QString& b) {
    return IsAddress(a) || IsAddress(b) ? a == b : detail::SameDevice(a, b);
}

} // namespace

bool SerialPorts::present(const QString& device) {
    if (!IsAddress(device)) {
        return SerialDevice::Exists(device);
    }
    std::unique_ptr<Reach>& r = reach_[device];
    if (!r) {
        r = std::make_unique<Reach>();
    }
    if (r->connection && r->keep.hasExpired()) {
        r->connection.reset();
    }
    if (r->unreachable && !r->trying) {
        r->trying = detail::ReachAddress(device, this,
                                         [this, device](std::unique_ptr<QTcpSocket> connection) {
                                             Reach& reach = *reach_[device];
                                             reach.trying = nullptr;
                                             if (connection) {
                                                 reach.unreachable = false;
                                                 reach.connection = std::move(connection);
                                                 reach.keep = QDeadlineTimer(kKeepConnectionMs);
                                                 rescan();
                                             }
                                         });
    }
    return !r->unreachable;
}

void SerialPorts::unreachable(const QString& address) {
    present(address);
    reach_[address]->unreachable = true;
    reach_[address]->connection.reset();
}

SerialPorts::Known SerialPorts::Adapter(PortEntry entry, const QString& serial,
                                        const QString& stable) {
    Known k;
    k.entry = std::move(entry);
    k.serial = serial;
    k.stable = stable;
    return k;
}

std::vector<SerialPorts::Found> SerialPorts::scan() {
    std::vector<Found> found = detail::SystemPorts(system_);
    for (const QString& address : networkPorts_) {
        if (present(address)) {
            Found f;
            f.device = f.stable = address;
            f.description = QStringLiteral("network port");
            found.push_back(f);
        }
    }
    for (const QString& pattern : patterns_) {
        const QFileInfo where(pattern);
        const QDir dir = where.dir();
        for (const QFileInfo& path :
             dir.entryInfoList({where.fileName()}, QDir::System | QDir::Files, QDir::Name)) {
            if (path.exists()) {
                Found f;
                f.device = f.stable = path.absoluteFilePath();
                found.push_back(f);
            }
        }
    }
    return found;
}

void SerialPorts::rescan() {
    bool changed = false;
    std::vector<int> gone, back;
    std::set<int> seen;
    auto sameAdapter = [](const Known& k, const Found& f) {
        if (!k.serial.isEmpty() || !f.serial.isEmpty()) {
            return k.serial == f.serial;
        }
        return !f.stable.isEmpty() ? k.stable == f.stable : k.entry.device == f.device;
    };
    for (Found& f : scan()) {
        auto it = std::find_if(known_.begin(), known_.end(), [&](const auto& kv) {
            return !kv.second.mapped && !seen.count(kv.first) && sameAdapter(kv.second, f);
        });
        if (it == known_.end()) {
            // A device already listed under a number given to it is not
            // listed a second time.
            const bool listed = std::any_of(known_.begin(), known_.end(), [&](const auto& kv) {
                return kv.second.mapped && SameDeviceOrAddress(kv.second.entry.device, f.device);
            });
            if (listed) {
                continue;
            }
            const int n = known_.empty() ? 1 : known_.rbegin()->first + 1;
            if (n > kMaxPortNumber) {
                continue;
            }
            it = known_.emplace(n, Adapter(Entry(n), f.serial, f.stable)).first;
        }
        seen.insert(it->first);
        PortEntry& e = it->second.entry;
        if (!e.present || e.device != f.device || e.description != f.description) {
            changed = true;
            if (!e.present && it->second.lost) {
                back.push_back(it->first);
            }
            e.present = true;
            e.device = f.device;
            e.description = f.description;
        }
    }
    for (auto& [number, k] : known_) {
        const bool present = k.mapped ? this->present(k.entry.device) : seen.count(number) > 0;
        if (k.mapped && present && !k.entry.present && k.lost) {
            back.push_back(number);
        }
        if (present != k.entry.present) {
            k.entry.present = present;
            changed = true;
        }
        if (!present && isOpen(number)) {
            gone.push_back(number);
        }
        QString group;
        const bool permitted = !present || Permitted(k.entry.device, &group);
        if (permitted != k.entry.permitted || group != k.entry.group) {
            k.entry.permitted = permitted;
            k.entry.group = group;
            changed = true;
        }
    }
    for (int number : gone) {
        close(number);
        lost(number);
    }
    if (changed) {
        emit portsChanged();
    }
    for (int number : back) {
        known_[number].lost = false;
        emit portBack(number);
    }
}

void SerialPorts::lost(int number) {
    auto it = known_.find(number);
    if (it != known_.end()) {
        it->second.lost = true;
    }
    emit portLost(number);
}

void SerialPorts::mapPort(int number, const QString& device, const QString& description,
                          bool remember) {
    if (number < 1 || number > kMaxPortNumber) {
        return;
    }
    Known k = Adapter(Entry(number, device, description), {}, device);
    k.mapped = true;
    k.remember = remember;
    k.entry.present = present(device);
    k.entry.permitted = !k.entry.present || Permitted(device, &k.entry.group);
    auto it = known_.find(number);
    if (it != known_.end() && !it->second.mapped) {
        // A device found by the scan moves to a free number.
        Known found = std::move(it->second);
        it->second = std::move(k);
        known_.emplace(known_.rbegin()->first + 1, std::move(found));
        renumber();
    } else {
        known_[number] = std::move(k);
    }
}

void SerialPorts::watchPaths(const QStringList& patterns) {
    patterns_ += patterns;
    rescan();
    renumber();
}

void SerialPorts::rememberIn(const QString& settingsFile) {
    settingsFile_ = settingsFile;
    const QSettings settings(settingsFile_, QSettings::IniFormat);
    for (const QString& address : settings.value(kNetworkPortsKey).toStringList()) {
        std::string why;
        if (ParsePortAddress(address.toStdString(), &why) && !networkPorts_.contains(address)) {
            networkPorts_ << address;
        }
    }
    rescan();
    renumber();
}

int SerialPorts::addNetworkPort(const QString& address, QString* reason) {
    std::string why;
    if (!ParsePortAddress(address.toStdString(), &why)) {
        *reason = QString::fromStdString(why);
        return 0;
    }
    const auto listed = [&] {
        auto it = std::find_if(known_.begin(), known_.end(),
                               [&](const auto& kv) { return kv.second.entry.device == address; });
        return it == known_.end() ? 0 : it->first;
    };
    if (const int number = listed()) {
        return number;
    }
    networkPorts_ << address;
    if (!settingsFile_.isEmpty()) {
        QSettings settings(settingsFile_, QSettings::IniFormat);
        settings.setValue(kNetworkPortsKey, networkPorts_);
    }
    rescan();
    const int number = listed();
    if (number == 0) {
        *reason = QStringLiteral("no port number is free for %1").arg(address);
    }
    return number;
}

void SerialPorts::renumber() {
    // The devices found by the scan, the remembered adapter first, fill the
    // numbers that no mapping takes.
    QString serial, path;
    if (!settingsFile_.isEmpty()) {
        const QSettings settings(settingsFile_, QSettings::IniFormat);
        serial = settings.value(QStringLiteral("adapter/serial")).toString();
        path = settings.value(QStringLiteral("adapter/path")).toString();
    }
    auto isRemembered = [&](const Known& k) {
        return (!serial.isEmpty() && k.serial == serial) ||
               (!path.isEmpty() && (k.stable == path || k.entry.device == path));
    };
    std::vector<Known> found;
    for (auto it = known_.begin(); it != known_.end();) {
        if (it->second.mapped) {
            ++it;
        } else {
            found.push_back(std::move(it->second));
            it = known_.erase(it);
        }
    }
    std::stable_sort(found.begin(), found.end(), [&](const Known& a, const Known& b) {
        const bool ra = isRemembered(a), rb = isRemembered(b);
        return ra != rb ? ra : a.entry.device < b.entry.device;
    });
    int n = 1;
    for (Known& k : found) {
        while (known_.count(n)) {
            ++n;
        }
        k.entry.number = n;
        known_.emplace(n, std::move(k));
    }
}

void SerialPorts::answered(int number) {
    if (isOpen(number)) {
        remember(number);
    }
}

void SerialPorts::remember(int number) {
    auto it = known_.find(number);
    if (settingsFile_.isEmpty() || it == known_.end() || !it->second.remember) {
        return;
    }
    QSettings settings(settingsFile_, QSettings::IniFormat);
    settings.setValue(QStringLiteral("adapter/serial"), it->second.serial);
    settings.setValue(QStringLiteral("adapter/path"),
                      it->second.stable.isEmpty() ? it->second.entry.device : it->second.stable);
}

std::vector<PortEntry> SerialPorts::ports() const {
    const int last = known_.empty() ? 0 : known_.rbegin()->first;
    std::vector<PortEntry> list;
    for (int n = 1; n <= last; ++n) {
        auto it = known_.find(n);
        if (it != known_.end()) {
            list.push_back(it->second.entry);
        } else {
            list.push_back(Entry(n));
        }
    }
    return list;
}

QString SerialPorts::deviceFor(int number) const {
    auto it = known_.find(number);
    // A pulled adapter's number never opens whatever device took its name.
    if (it == known_.end() || (!it->second.mapped && !it->second.entry.present)) {
        return {};
    }
    return it->second.entry.device;
}

QString SerialPorts::failureReason(int number) const {
    auto it = known_.find(number);
    return it == known_.end() ? QString() : it->second.reason;
}

QString SerialPorts::permissionHint(int number) const {
    auto it = known_.find(number);
    if (it == known_.end() || it->second.entry.permitted) {
        return {};
    }
    const PortEntry& e = it->second.entry;
    const QString group = e.group.isEmpty() ? QStringLiteral("dialout") : e.group;
    return QStringLiteral("You may not open %1. Join the group that owns it: "
                          "sudo usermod -aG %2 $USER, then log in again.")
        .arg(e.device, group);
}

} // namespace korven::rt::qt
