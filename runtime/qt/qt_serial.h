// Serial ports by number, read through the system's lines with an input
// queue of our own: the byte count waiting is known without running the
// event loop, the line wakes the program about once per frame rather than
// once per byte, and the receive notification runs only from event
// processing.
#pragma once

#include "runtime/backend.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

class QTcpSocket;

namespace korven::rt::qt {

// One entry of the port list: the engine's port number and its device.
struct PortEntry {
    int number = 0;
    QString device;        // e.g. /dev/ttyUSB0, or a stable name as given
    QString description;   // as the system reports it, may be empty
    bool present = true;   // the device is there now
    bool permitted = true; // the user may read and write it
    QString group;         // the group that owns a device the user may not open
};

// A serial line the system lists.
struct FoundPort {
    QString device, description;
    QString serial; // the adapter's serial number, may be empty
    QString stable; // a name that stays with the adapter, may be empty
};

// The system's serial lines as last asked for, and a stamp of the state of
// the system's device lists then (listing them anew costs more than
// looking whether they changed).
struct SystemPortCache {
    std::vector<FoundPort> ports;
    QString stamp;
};

// The serial ports by number. Numbers are handed out once: an adapter
// plugged in later gets the next free one, a pulled one keeps its number
// (marked absent) and gets it back when the same adapter (serial number or
// stable name) returns.
class SerialPorts : public QObject {
    Q_OBJECT

  public:
    // Numbers the serial devices present now, sorted by name, from 1, and
    // looks for added and removed ones every second.
    explicit SerialPorts(QObject* parent = nullptr);
    ~SerialPorts() override;

    // Port `number` opens `device` (any path, symbolic links included).
    // `remember` false keeps it out of the remembered adapter (a virtual
    // sensor). Call before the port list is shown.
    void mapPort(int number, const QString& device, const QString& description,
                 bool remember = true);
    // Also lists the paths matching these patterns (wildcards in the last
    // part), as they appear and vanish: for virtual ports that the system's
    // port list does not show.
    void watchPaths(const QStringList& patterns);
    // Keeps the adapter on which a sensor last answered (see answered()) in
    // this settings file and lists it first (as port 1 unless mapped
    // otherwise). Call before the list is shown.
    void rememberIn(const QString& settingsFile);
    // A sensor answered on the open port: its adapter becomes the one
    // remembered. Opening a port alone remembers nothing.
    void answered(int number);
    // Looks for added, removed and returned devices now.
    void rescan();
    // Lists a network port (socket://HOST:PORT or rfc2217://HOST:PORT) like
    // a device found by the scan, also at later starts (it is kept in the
    // settings file). Returns its number (the one it has when listed
    // already), or 0 with the reason in *reason for a malformed address.
    int addNetworkPort(const QString& address, QString* reason);

    std::vector<PortEntry> ports() const;
    QString deviceFor(int number) const; // empty when nothing is behind the number
    // How to get access to a port the user may not open; empty otherwise.
    QString permissionHint(int number) const;
    // Why the port's last open failed, when the line said more than the
    // engine's error code does (a network server's answer); empty otherwise.
    QString failureReason(int number) const;

    int open(int number, const ComSettings& settings);
    int close(int number);
    int setTimeout(int number, double seconds);
    int setCtsMode(int number, int mode);
    int installCallback(int number, int eventMask, int notifyCount, int eventChar,
                        ComCallbackPtr fn, void* data);
    int flushIn(int number);
    int flushOut(int number);
    int write(int number, std::span<const std::uint8_t> bytes);
    int read(int number, std::span<std::uint8_t> buffer);
    int inQueueLength(int number);
    bool isOpen(int number) const;

    // Runs the receive notifications that are due. Call only from event
    // processing. Returns true when at least one ran.
    bool deliverNotifications();

  signals:
    void portsChanged();
    // The device of an open port went away (the port is closed) ...
    void portLost(int number);
    // ... and is back.
    void portBack(int number);

  private:
    struct Port;
    using Found = FoundPort; // a device seen by a scan
    // A listed port and how to recognise its adapter.
    struct Known {
        PortEntry entry;
        QString serial, stable;
        bool mapped = false;  // given by mapPort(), not found by a scan
        bool remember = true; // may become the remembered adapter
        bool lost = false;    // went away while open
        QString reason;       // why the last open failed, see failureReason()
    };
    // Whether a network port's server takes connections: unknown (taken as
    // yes) until a connection failed or ended, then tried again each scan
    // until one succeeds, which the next open uses.
    struct Reach;
    static Known Adapter(PortEntry entry, const QString& serial, const QString& stable);

    Port* openPort(int number) const;
    // Moves what the system holds into our queue. Returns false when the
    // line hung up (the port is closed then).
    bool fill(Port& port);
    // After bytes came in: looks at the line again when what the receive
    // notification still waits for can have arrived, not at every byte.
    void watch(Port& port);
    void onReadable(Port& port);
    void removed(Port& port, qsizetype count);
    void postCheck();
    void hangUp(Port& port);
    void shut(Port& port);
    void lost(int number);
    std::vector<Found> scan();
    // A port's device is there now: the file, or a network port's server.
    bool present(const QString& device);
    void unreachable(const QString& address);
    void renumber();
    void remember(int number);

    mutable SystemPortCache system_;
    std::map<int, std::unique_ptr<Port>> ports_;
    std::map<int, Known> known_;
    QStringList patterns_;
    QStringList networkPorts_; // added ones, kept in the settings file
    std::map<QString, std::unique_ptr<Reach>> reach_;
    QString settingsFile_;
    bool checkPosted_ = false;
};

} // namespace korven::rt::qt
