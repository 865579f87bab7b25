// Serves the virtual sensor on a pseudo-terminal (or on a real serial
// device), so that any serial client - the desktop program, a terminal
// program, a test script - can talk to it as to a sensor on RS-232.
//
//   korven::sim::PtyServer server;            // default preset
//   std::string error;
//   if (!server.start(&error)) { ... }
//   open(server.path().c_str(), ...);         // e.g. /dev/pts/7
//   ...
//   server.stop();                            // also done by the destructor
//
// The model runs on a background thread (a poll loop). Answers go out at
// their due times; with line timing on, each byte takes ten bit times at
// 19200 baud, like on the real line. The server keeps the slave side of the
// pty open itself, so the pty does not hang up when a client closes it and
// opens it again.
#pragma once

#include "sim/sensor_model.h"

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace korven::sim {

struct PtyServerOptions {
    // Both directions take their time on the line: a request is taken in as
    // its bytes would arrive (a pty hands them over at once), an answer goes
    // out byte by byte.
    bool lineTiming = true;
    double byteTime = kByteTime19200;
    // Optional symbolic link to the slave (e.g. /tmp/korven-sensor); it is
    // made on start and removed on stop. An existing symbolic link there is
    // replaced; any other file is left alone and start fails.
    std::string linkPath;
    // Serve on this serial device (19200 8N1 raw) instead of a new pty. The
    // device's own UART paces the bytes, so line timing is not applied.
    std::string devicePath;
    // Receives one line per frame received and answer sent (hex, with a time
    // stamp) and other events; null keeps the server quiet. Called on the
    // server's thread.
    std::function<void(const std::string&)> log;
};

class PtyServer {
  public:
    explicit PtyServer(ModelOptions model = {}, PtyServerOptions options = {});
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the pty (or device), makes the link and starts the thread.
    // Returns false with a reason in *error when something cannot be opened.
    bool start(std::string* error = nullptr);
    // Stops the thread, closes everything and removes the link. Idempotent.
    void stop();
    bool running() const { return running_; }

    // The pty's slave (or the device).
    const std::string& slavePath() const { return slavePath_; }
    // What a client should open: the link when one was made, else the slave.
    const std::string& path() const { return linkPath_.empty() ? slavePath_ : linkPath_; }

    // Seconds since start on the server's clock (the model's time base).
    double now() const;

    // Runs f(model) under the server's lock, e.g. to change faults while
    // the server runs.
    template <class F> auto withModel(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(model_);
    }
    void setFaults(const Faults& faults);

  private:
    struct Pending {
        double start = 0.0;
        int command = 0;
        Bytes bytes;
        std::size_t sent = 0;
    };

    bool openPty(std::string& error);
    bool openDevice(std::string& error);
    bool makeLink(std::string& error);
    void removeLink();
    void closeAll();
    void run();
    void enqueue(std::vector<Output> outputs);
    double nextWake() const;
    bool writeDue(double now);
    void log(const std::string& line) const;

    SensorModel model_;
    PtyServerOptions options_;
    mutable std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    bool running_ = false;
    int ioFd_ = -1;    // pty master or device
    int slaveFd_ = -1; // kept open so the pty never hangs up
    int wakeRead_ = -1, wakeWrite_ = -1;
    std::string slavePath_;
    std::string linkPath_;
    std::deque<Pending> queue_;
    double lineFree_ = 0.0;
    double inputFree_ = 0.0; // when the emulated line towards the sensor is free
    long long startNs_ = 0;
};

// Lower-case hex bytes separated by spaces.
std::string HexBytes(std::span<const std::uint8_t> bytes);

} // namespace korven::sim
