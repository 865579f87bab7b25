// Serial ports by number on QSerialPort, with an input queue of our own so
// that the byte count waiting is known without running the event loop, and
// a receive notification that runs only from event processing.
#pragma once

#include "runtime/backend.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

class QSerialPort;

namespace korven::rt::qt {

// One entry of the port list: the engine's port number and its device.
struct PortEntry {
    int number = 0;
    QString device;      // e.g. /dev/ttyUSB0
    QString description; // as the system reports it, may be empty
};

class SerialPorts : public QObject {
    Q_OBJECT

  public:
    // Numbers the serial devices present now, sorted by name, from 1.
    explicit SerialPorts(QObject* parent = nullptr);
    ~SerialPorts() override;

    void mapPort(int number, const QString& device, const QString& description);
    std::vector<PortEntry> ports() const;
    QString deviceFor(int number) const; // empty when nothing is behind the number

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

  private:
    struct Port;

    Port* openPort(int number) const;
    void drain(Port& port); // moves what QSerialPort holds into our queue
    void pull(Port& port);  // also asks the system for bytes that arrived
    void removed(Port& port, qsizetype count);
    void postCheck();
    void onError(Port& port, int error);

    std::map<int, std::unique_ptr<Port>> ports_;
    std::vector<PortEntry> found_;
    std::map<int, std::pair<QString, QString>> mapped_;
    bool checkPosted_ = false;
};

} // namespace korven::rt::qt
