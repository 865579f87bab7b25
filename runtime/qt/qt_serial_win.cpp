// Serial lines on Windows: a COM port opened for overlapped I/O, read by a
// thread of its own into a buffer (the system's read calls block, and a
// program reading a serial line must not), written with a time-out; the
// port list from the system's serial device map with the friendly names of
// Device Manager.
#include "runtime/qt/qt_serial_device.h"
#include "runtime/qt/qt_serial_internal.h"

#include <QMetaObject>
#include <QPointer>
#include <QStringList>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// clang-format off
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

namespace korven::rt::qt {

namespace {

// How long the reader thread waits for bytes before it looks again.
constexpr DWORD kReadWaitMs = 200;
// The reader's buffer holds at most this much that nobody took; beyond it
// bytes are dropped, as a UART overruns.
constexpr std::size_t kMaxBuffered = 1 << 20;

// "COM5" -> "\\.\COM5": the name that opens COM ports above 9 too.
std::wstring DevicePath(const QString& device) {
    const QString path =
        device.startsWith(QLatin1String("\\\\.\\")) ? device : QStringLiteral("\\\\.\\") + device;
    return path.toStdWString();
}

QString DosName(const QString& device) {
    return device.startsWith(QLatin1String("\\\\.\\")) ? device.mid(4) : device;
}

class Event {
  public:
    Event() : h_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() {
        if (h_) {
            ::CloseHandle(h_);
        }
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE get() const { return h_; }

  private:
    HANDLE h_;
};

class WinDevice final : public SerialDevice {
  public:
    WinDevice(HANDLE h, QObject* owner) : h_(h), owner_(owner) {
        reader_ = std::thread([this] { readLoop(); });
    }
    ~WinDevice() override {
        {
            std::lock_guard lock(m_);
            stop_ = true;
        }
        ::SetEvent(stop_event_.get());
        ::CancelIoEx(h_, nullptr);
        reader_.join();
        ::CloseHandle(h_);
        *alive_ = false;
    }

    std::ptrdiff_t readSome(char* buffer, std::size_t max) override {
        std::lock_guard lock(m_);
        if (buf_.empty()) {
            return hungUp_ ? -1 : 0;
        }
        const std::size_t take = std::min(max, buf_.size());
        std::copy_n(buf_.begin(), take, buffer);
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(take));
        return static_cast<std::ptrdiff_t>(take);
    }

    void waitReadable(int ms) override {
        std::unique_lock lock(m_);
        cv_.wait_for(lock, std::chrono::milliseconds(ms),
                     [this] { return !buf_.empty() || hungUp_; });
    }

    int held() override {
        std::lock_guard lock(m_);
        if (buf_.empty() && hungUp_) {
            return -1;
        }
        // What the reader holds and what the driver still holds (the reader
        // takes it within a moment).
        DWORD errors = 0;
        COMSTAT stat{};
        const DWORD driver = ::ClearCommError(h_, &errors, &stat) ? stat.cbInQue : 0;
        return static_cast<int>(std::min<std::size_t>(buf_.size() + driver, INT_MAX));
    }

    Written write(const std::uint8_t* bytes, std::size_t size, std::int64_t ms) override {
        Written w;
        Event done;
        while (w.count < size) {
            OVERLAPPED ov{};
            ov.hEvent = done.get();
            ::ResetEvent(done.get());
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - w.count, 1 << 16));
            DWORD wrote = 0;
            BOOL ok = ::WriteFile(h_, bytes + w.count, chunk, nullptr, &ov);
            if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
                const DWORD wait = static_cast<DWORD>(std::clamp<std::int64_t>(ms, 0, 86400000));
                if (::WaitForSingleObject(done.get(), wait) != WAIT_OBJECT_0) {
                    ::CancelIoEx(h_, &ov);
                }
                ok = ::GetOverlappedResult(h_, &ov, &wrote, TRUE);
                if (!ok && ::GetLastError() == ERROR_OPERATION_ABORTED) {
                    w.count += wrote;
                    w.end = WriteEnd::TimedOut;
                    return w;
                }
            } else if (ok) {
                ok = ::GetOverlappedResult(h_, &ov, &wrote, TRUE);
            }
            if (!ok) {
                w.end = gone() ? WriteEnd::HungUp : WriteEnd::Failed;
                return w;
            }
            w.count += wrote;
            if (wrote < chunk) {
                w.end = WriteEnd::TimedOut;
                return w;
            }
        }
        return w;
    }

    void flushIn() override {
        ::PurgeComm(h_, PURGE_RXCLEAR);
        std::lock_guard lock(m_);
        buf_.clear();
    }
    void flushOut() override { ::PurgeComm(h_, PURGE_TXCLEAR); }

    bool setCtsFlow(bool on) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(h_, &dcb)) {
            return false;
        }
        dcb.fOutxCtsFlow = on ? TRUE : FALSE;
        dcb.fRtsControl = on ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        return ::SetCommState(h_, &dcb) != FALSE;
    }

    void setWatching(bool on) override {
        std::lock_guard lock(m_);
        watching_ = on;
        if (on && (!buf_.empty() || hungUp_)) {
            postLocked();
        }
    }

  private:
    // Whether the device is gone (an unplugged adapter): the driver no
    // longer answers about its state.
    bool gone() {
        DWORD errors = 0;
        COMSTAT stat{};
        return !::ClearCommError(h_, &errors, &stat);
    }

    // Wakes the program from its event loop, once until watching is
    // switched on again.
    void postLocked() {
        if (!watching_ || posted_ || !owner_) {
            return;
        }
        posted_ = true;
        watching_ = false;
        QMetaObject::invokeMethod(
            owner_,
            [this, alive = alive_] {
                if (!*alive) {
                    return;
                }
                {
                    std::lock_guard lock(m_);
                    posted_ = false;
                }
                if (onReadable) {
                    onReadable();
                }
            },
            Qt::QueuedConnection);
    }

    // Waits for the driver's "a byte came in" event, then takes what is
    // there. Where the event is not to be had (Wine's serial driver), the
    // read itself waits for a first byte.
    void readLoop() {
        Event arrived, done;
        OVERLAPPED eo{};
        eo.hEvent = arrived.get();
        bool waiting = false;
        std::vector<char> chunk(4096);
        for (;;) {
            {
                std::lock_guard lock(m_);
                if (stop_) {
                    break;
                }
            }
            bool evented = false;
            if (!waiting) {
                ::ResetEvent(arrived.get());
                DWORD mask = 0;
                if (::WaitCommEvent(h_, &mask, &eo)) {
                    evented = true;
                } else {
                    waiting = ::GetLastError() == ERROR_IO_PENDING;
                }
            }
            if (waiting) {
                const HANDLE wake[] = {arrived.get(), stop_event_.get()};
                const DWORD r = ::WaitForMultipleObjects(2, wake, FALSE, kReadWaitMs);
                if (r == WAIT_TIMEOUT) {
                    continue;
                }
                if (r != WAIT_OBJECT_0) {
                    break; // stopping
                }
                waiting = false;
                DWORD ignored = 0;
                evented = ::GetOverlappedResult(h_, &eo, &ignored, FALSE) != FALSE;
            }
            OVERLAPPED ov{};
            ov.hEvent = done.get();
            ::ResetEvent(done.get());
            DWORD got = 0;
            BOOL ok = ::ReadFile(h_, chunk.data(), static_cast<DWORD>(chunk.size()), nullptr, &ov);
            if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
                // A read that waits for a first byte ends with the stop too,
                // also when the stop came before the read began: the closing
                // side's cancel would have found nothing to cancel, and on a
                // silent line the read, and the close, would wait forever.
                const HANDLE wake[] = {done.get(), stop_event_.get()};
                if (::WaitForMultipleObjects(2, wake, FALSE, INFINITE) != WAIT_OBJECT_0) {
                    ::CancelIoEx(h_, &ov);
                }
                ok = ::GetOverlappedResult(h_, &ov, &got, TRUE);
            } else if (ok) {
                ok = ::GetOverlappedResult(h_, &ov, &got, TRUE);
            }
            std::unique_lock lock(m_);
            if (stop_) {
                break;
            }
            if (!ok) {
                // A purge aborts a pending read; anything else means the
                // device is gone.
                if (::GetLastError() == ERROR_OPERATION_ABORTED) {
                    continue;
                }
                hungUp_ = true;
                cv_.notify_all();
                postLocked();
                break;
            }
            if (got > 0) {
                const std::size_t room = kMaxBuffered - std::min(kMaxBuffered, buf_.size());
                const std::size_t keep = std::min<std::size_t>(got, room);
                buf_.insert(buf_.end(), chunk.data(), chunk.data() + keep);
                cv_.notify_all();
                postLocked();
            } else if (!evented) {
                // Neither an event nor a byte: do not spin.
                lock.unlock();
                ::Sleep(1);
            }
        }
        if (waiting) {
            ::CancelIoEx(h_, &eo);
            DWORD ignored = 0;
            ::GetOverlappedResult(h_, &eo, &ignored, TRUE);
        }
    }

    HANDLE h_;
    QPointer<QObject> owner_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    Event stop_event_;
    std::thread reader_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<char> buf_;
    bool stop_ = false;
    bool hungUp_ = false;
    bool watching_ = false;
    bool posted_ = false;
};

} // namespace

bool detail::LocalDeviceExists(const QString& device) {
    const std::wstring name = DosName(device).toStdWString();
    wchar_t target[1024];
    if (::QueryDosDeviceW(name.c_str(), target, 1024) != 0 ||
        ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        return true;
    }
    // Not every system lists its COM ports as DOS devices (Wine maps them
    // from links in its prefix): ask the port itself. One held open, by us
    // or another program, is there too.
    HANDLE h = ::CreateFileW(DevicePath(device).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return true;
    }
    const DWORD why = ::GetLastError();
    return why != ERROR_FILE_NOT_FOUND && why != ERROR_PATH_NOT_FOUND;
}

bool SerialDevice::SpeedSupported(long baud) {
    // The drivers take any rate they can make; a refused one fails when
    // the line is set up.
    return baud > 0;
}

std::unique_ptr<SerialDevice> detail::OpenLocalDevice(const QString& device,
                                                      const ComSettings& settings, QObject* owner,
                                                      int* error) {
    // No sharing: one program at a time, as the system always does for COM
    // ports.
    HANDLE h = ::CreateFileW(DevicePath(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD why = ::GetLastError();
        *error = why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND ? kComNoSerialPort
                                                                            : kComCannotOpenPort;
        return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb)) { // not a serial line
        ::CloseHandle(h);
        *error = kComCannotOpenPort;
        return nullptr;
    }
    dcb.BaudRate = static_cast<DWORD>(settings.baudRate);
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
    // none, odd, even, mark, space: the system's own order
    dcb.Parity = static_cast<BYTE>(settings.parity);
    dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != 0 ? TRUE : FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    // A read takes what is there and returns; the reader thread waits for
    // the driver's event first.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommState(h, &dcb) || !::SetCommTimeouts(h, &timeouts)) {
        ::CloseHandle(h);
        *error = kComInvalidParameter;
        return nullptr;
    }
    ::SetupComm(h, static_cast<DWORD>(std::max(settings.inputQueueSize, 64)),
                static_cast<DWORD>(std::max(settings.outputQueueSize, 64)));
    ::SetCommMask(h, EV_RXCHAR);
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    *error = 0;
    return std::make_unique<WinDevice>(h, owner);
}

namespace detail {

bool Permitted(const QString& /*path*/, QString* owner) {
    owner->clear();
    return true;
}

bool SameDevice(const QString& a, const QString& b) {
    return DosName(a).compare(DosName(b), Qt::CaseInsensitive) == 0;
}

namespace {

// The system's serial device map: device object -> "COMn", as the drivers
// of the COM ports present now write it.
QStringList DeviceMap() {
    QStringList names;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS) {
        return names;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t value[256];
        DWORD valueLen = 256;
        wchar_t data[256];
        DWORD dataLen = sizeof data;
        DWORD type = 0;
        const LONG r = ::RegEnumValueW(key, i, value, &valueLen, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data), &dataLen);
        if (r == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (r == ERROR_SUCCESS && type == REG_SZ && dataLen >= sizeof(wchar_t)) {
            names.push_back(
                QString::fromWCharArray(data, static_cast<int>(dataLen / sizeof(wchar_t)))
                    .section(QChar(0), 0, 0));
        }
    }
    ::RegCloseKey(key);
    return names;
}

struct DeviceInfo {
    QString friendlyName;
    QString instance; // the device instance ID: stays with a USB adapter
};

// The ports class of Device Manager: friendly names and instance IDs by
// COM port name.
std::map<QString, DeviceInfo> PortDevices() {
    std::map<QString, DeviceInfo> byName;
    HDEVINFO set = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return byName;
    }
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        QString port;
        if (HKEY key = ::SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            key != INVALID_HANDLE_VALUE) {
            wchar_t name[256];
            DWORD len = sizeof name;
            DWORD type = 0;
            if (::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                                   &len) == ERROR_SUCCESS &&
                type == REG_SZ) {
                port = QString::fromWCharArray(name, static_cast<int>(len / sizeof(wchar_t)))
                           .section(QChar(0), 0, 0);
            }
            ::RegCloseKey(key);
        }
        if (port.isEmpty()) {
            continue;
        }
        DeviceInfo info;
        wchar_t text[512];
        if (::SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_FRIENDLYNAME, nullptr,
                                                reinterpret_cast<BYTE*>(text), sizeof text,
                                                nullptr)) {
            info.friendlyName = QString::fromWCharArray(text);
        }
        if (::SetupDiGetDeviceInstanceIdW(set, &dev, text, 512, nullptr)) {
            info.instance = QString::fromWCharArray(text);
        }
        byName[port.toUpper()] = info;
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return byName;
}

// "COM10" after "COM9".
bool ComOrder(const QString& a, const QString& b) {
    const bool ca = a.startsWith(QLatin1String("COM"), Qt::CaseInsensitive);
    const bool cb = b.startsWith(QLatin1String("COM"), Qt::CaseInsensitive);
    if (ca && cb) {
        const int na = a.mid(3).toInt(), nb = b.mid(3).toInt();
        if (na != nb) {
            return na < nb;
        }
    }
    return a < b;
}

} // namespace

std::vector<FoundPort> SystemPorts(SystemPortCache& cache) {
    // The device map is small and read every time; Device Manager's list
    // is asked only when the map changed.
    QStringList names = DeviceMap();
    std::sort(names.begin(), names.end(), ComOrder);
    names.erase(std::unique(names.begin(), names.end(),
                            [](const QString& a, const QString& b) {
                                return a.compare(b, Qt::CaseInsensitive) == 0;
                            }),
                names.end());
    const QString stamp = names.join(QLatin1Char(';'));
    if (stamp != cache.stamp) {
        cache.stamp = stamp;
        cache.ports.clear();
        const std::map<QString, DeviceInfo> devices = PortDevices();
        for (const QString& n : names) {
            FoundPort f;
            f.device = n;
            if (auto it = devices.find(n.toUpper()); it != devices.end()) {
                // "USB Serial Port (COM5)": the port's name is in the list already.
                f.description = it->second.friendlyName;
                f.description.remove(QStringLiteral(" (") + n + QLatin1Char(')'));
                f.stable = it->second.instance;
            }
            cache.ports.push_back(std::move(f));
        }
    }
    return cache.ports;
}

} // namespace detail

} // namespace korven::rt::qt
