// ser2net (the distribution's network serial server) started by a test on
// loopback in front of one serial device: a raw TCP accepter and a Telnet
// RFC 2217 accepter, on ports that were free, with its own configuration
// in a temporary folder and no system service.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

class Ser2Net {
  public:
    // Where it is installed; empty when it is not.
    static QString Program() {
        const QString inPath = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
        return !inPath.isEmpty() ? inPath
                                 : QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                                                  {QStringLiteral("/usr/sbin")});
    }

    explicit Ser2Net(const QString& device) : device_(device) {
        rawPort_ = FreePort();
        telnetPort_ = FreePort();
    }
    ~Ser2Net() { kill(); }

    // Starts it and waits until both accepters listen; false with the
    // reason in *error.
    bool start(QString* error) {
        QFile config(dir_.filePath(QStringLiteral("ser2net.yaml")));
        if (!config.open(QIODevice::WriteOnly)) {
            *error = QStringLiteral("cannot write %1").arg(config.fileName());
            return false;
        }
        const QString connector =
            QStringLiteral("  connector: serialdev,%1,19200n81,local\n").arg(device_);
        config.write(QStringLiteral("connection: &raw\n"
                                    "  accepter: tcp,127.0.0.1,%1\n%3"
                                    "connection: &rfc2217\n"
                                    "  accepter: telnet(rfc2217),tcp,127.0.0.1,%2\n%3")
                         .arg(rawPort_)
                         .arg(telnetPort_)
                         .arg(connector)
                         .toUtf8());
        config.close();
        process_ = std::make_unique<QProcess>();
        process_->setProcessChannelMode(QProcess::MergedChannels);
        // -n: in the foreground; -u: no lock files; -P: its pid file here.
        process_->start(Program(), {QStringLiteral("-n"), QStringLiteral("-u"),
                                    QStringLiteral("-c"), config.fileName(), QStringLiteral("-P"),
                                    dir_.filePath(QStringLiteral("ser2net.pid"))});
        if (!process_->waitForStarted(5000)) {
            *error = QStringLiteral("ser2net did not start: ") + process_->errorString();
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        while (!(Listening(rawPort_) && Listening(telnetPort_))) {
            if (process_->state() != QProcess::Running || clock.elapsed() > 10000) {
                *error = QStringLiteral("ser2net does not listen: ") + process_->readAll();
                return false;
            }
            QThread::msleep(20);
        }
        return true;
    }

    // Ends it at once, as a crash or a pulled network cable would.
    void kill() {
        if (process_ && process_->state() != QProcess::NotRunning) {
            process_->kill();
            process_->waitForFinished(5000);
        }
    }

    QString raw() const { return QStringLiteral("socket://127.0.0.1:%1").arg(rawPort_); }
    QString rfc2217(const QString& options = {}) const {
        return QStringLiteral("rfc2217://127.0.0.1:%1").arg(telnetPort_) + options;
    }

    // A TCP port on loopback nothing listens on now.
    static quint16 FreePort() {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

  private:
    // Whether something listens on the loopback port (the system's table of
    // TCP sockets; connecting to see would open the device behind it).
    static bool Listening(quint16 port) {
        QFile table(QStringLiteral("/proc/net/tcp"));
        if (!table.open(QIODevice::ReadOnly)) {
            return false;
        }
        const QByteArray local =
            QStringLiteral("0100007F:%1").arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1();
        for (const QByteArray& line : table.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() > 3 && f[1] == local && f[3] == "0A") { // LISTEN
                return true;
            }
        }
        return false;
    }

    QString device_;
    QTemporaryDir dir_;
    quint16 rawPort_ = 0, telnetPort_ = 0;
    std::unique_ptr<QProcess> process_;
};
