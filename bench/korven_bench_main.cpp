// korven-bench: measures how close the program comes to the serial line's
// limit, what it costs in CPU time and memory, and how fast it starts, and
// prints one table. See README.md, "Performance".
//
// The parent process runs the headless figures itself and, for the Qt
// figures, starts two children of its own executable: the virtual sensor
// on a pseudo-terminal (--sim) and the program with the Qt back end (--app),
// on the offscreen platform and, with --xcb, also on an X server, so that
// the program's CPU time and memory are measured apart from the sensor's.
#include "bench/bench_app.h"
#include "bench/bench_common.h"
#include "bench/bench_headless.h"
#include "sim/pty_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace korven::bench;

constexpr const char* kUsage = R"(Usage: korven-bench [options]

Runs the benchmarks and prints one table: measured value, limit or goal,
ratio and verdict for each figure.

Options:
  --quick               short windows (3 s, memory 20 s) for a smoke check
  --seconds S           measuring window of the rate and CPU figures (default 10)
  --memory-seconds S    length of the memory run (default 600)
  --processing-ms X     the virtual sensor's processing time (default 2)
  --only LIST           comma-separated: headless,run,net,video,cpu,click,cli,own,
                        startup,memory (net: the run sequence through ser2net, if
                        installed)
  --xcb                 run, video, cpu and click once more on the xcb platform
                        (needs an X display; bench/run.sh --display starts one)
  --help                show this text

Internal modes (started by the benchmark itself):
  --sim PRESET PROCESSING_MS on|off [silent | trail BYTES]
  --app SCENARIO PORT PRESET T0 WARMUP SECONDS PLATFORM [clicks] [maximised]
)";

std::string SelfPath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return "korven-bench";
    }
    buf[n] = '\0';
    return buf;
}

// A child process of this executable with its stdout on a pipe.
struct Child {
    pid_t pid = -1;
    int out = -1;
};

// Starts this executable with `args`, or (given) another program.
Child Spawn(const std::vector<std::string>& args, const std::string& program = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    const std::string self = program.empty() ? SelfPath() : program;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(self.c_str()));
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        if (std::getenv("KORVEN_BENCH_RAW") == nullptr) {
            // Qt's warnings about the offscreen platform would break the table.
            const int devnull = ::open("/dev/null", O_WRONLY);
            if (devnull >= 0) {
                ::dup2(devnull, STDERR_FILENO);
            }
        }
        ::execv(self.c_str(), argv.data());
        _exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return {};
    }
    return Child{pid, fds[0]};
}

// Reads from the child until EOF or until the deadline; returns what came.
std::string ReadUntilEof(int fd, double deadline) {
    std::string text;
    char buf[4096];
    for (;;) {
        const double left = deadline - MonotonicNow();
        if (left <= 0.0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min(left, 1.0) * 1000.0) + 1);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

std::string ReadLine(int fd, double deadline) {
    std::string line;
    char c = 0;
    while (MonotonicNow() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        if (::read(fd, &c, 1) != 1) {
            break;
        }
        if (c == '\n') {
            break;
        }
        line.push_back(c);
    }
    return line;
}

void Stop(Child& c, int signal) {
    if (c.pid > 0) {
        ::kill(c.pid, signal);
        int status = 0;
        ::waitpid(c.pid, &status, 0);
        c.pid = -1;
    }
    if (c.out >= 0) {
        ::close(c.out);
        c.out = -1;
    }
}

using Results = std::map<std::string, double>;

// ser2net with an RFC 2217 accepter on loopback in front of a device.
struct Ser2Net {
    Child child;
    std::string address; // rfc2217://127.0.0.1:PORT
    std::string dir;     // its configuration
};

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), size) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0;
    ::close(fd);
    return bound ? ntohs(a.sin_port) : 0;
}

// Whether something listens on the loopback port, from the system's table
// (connecting to see would open the device behind it).
bool Listening(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::FILE* table = std::fopen("/proc/net/tcp", "r");
    if (!table) {
        return false;
    }
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, table)) {
        char address[64] = {}, remote[64] = {}, state[8] = {};
        found = std::sscanf(line, " %*s %63s %63s %7s", address, remote, state) == 3 &&
                std::strcmp(address, local) == 0 && std::strcmp(state, "0A") == 0;
    }
    std::fclose(table);
    return found;
}

// `prompt`: ser2net passes each byte on at once (by default it waits two
// characters' time, at least a millisecond, for more) and asks TCP to send
// small segments without delay.
std::optional<Ser2Net> StartSer2Net(const std::string& device, bool prompt) {
    const char* program = "/usr/sbin/ser2net";
    char dir[] = "/tmp/korven-bench-ser2net-XXXXXX";
    const int port = FreeLoopbackPort();
    if (::access(program, X_OK) != 0 || port == 0 || ::mkdtemp(dir) == nullptr) {
        return std::nullopt;
    }
    Ser2Net s;
    s.dir = dir;
    const std::string config = s.dir + "/ser2net.yaml";
    std::FILE* f = std::fopen(config.c_str(), "w");
    if (!f) {
        return std::nullopt;
    }
    std::fprintf(f,
                 "connection: &sensor\n  accepter: telnet(rfc2217),tcp%s,127.0.0.1,%d\n"
                 "  connector: serialdev,%s,19200n81,local\n%s",
                 prompt ? "(nodelay)" : "", port, device.c_str(),
                 prompt ? "  options:\n    chardelay: false\n" : "");
    std::fclose(f);
    s.child = Spawn({"-n", "-u", "-c", config, "-P", s.dir + "/ser2net.pid"}, program);
    const double deadline = MonotonicNow() + 10.0;
    while (s.child.pid > 0 && !Listening(port) && MonotonicNow() < deadline) {
        ::usleep(20000);
    }
    if (s.child.pid <= 0 || !Listening(port)) {
        Stop(s.child, SIGKILL);
        return std::nullopt;
    }
    s.address = "rfc2217://127.0.0.1:" + std::to_string(port);
    return s;
}

void Stop(Ser2Net& s) {
    Stop(s.child, SIGTERM);
    for (const char* file : {"/ser2net.yaml", "/ser2net.pid"}) {
        ::unlink((s.dir + file).c_str());
    }
    ::rmdir(s.dir.c_str());
}

// One program run against a freshly started virtual sensor.
struct QtRun {
    std::string scenario;
    std::string preset = "type2-res350";
    bool lineTiming = true;
    bool silent = false;
    int trailingBytes = 0;     // bytes the sensor sends after each 64-sample block
    double processing = 0.002; // the sensor's own processing time
    double warmup = 1.0;
    double seconds = 10.0;
    std::string platform = "offscreen";
    bool clicks = false;
    bool maximised = false; // the main window fills the screen
    bool network = false;   // through ser2net's RFC 2217 accepter ...
    bool prompt = false;    // ... set up to pass bytes on at once
};

std::optional<Results> RunQt(const QtRun& run) {
    // With line timing the virtual sensor takes the request in as a real
    // line brings it, so that the round trip is the real line's.
    char processingMs[32];
    std::snprintf(processingMs, sizeof processingMs, "%.6f", run.processing * 1000.0);
    std::vector<std::string> simArgs{"--sim", run.preset, processingMs,
                                     run.lineTiming ? "on" : "off"};
    if (run.silent) {
        simArgs.push_back("silent");
    } else if (run.trailingBytes > 0) {
        simArgs.insert(simArgs.end(), {"trail", std::to_string(run.trailingBytes)});
    }
    Child sim = Spawn(simArgs);
    if (sim.pid < 0) {
        return std::nullopt;
    }
    std::string path = ReadLine(sim.out, MonotonicNow() + 10.0);
    if (path.empty()) {
        Stop(sim, SIGKILL);
        return std::nullopt;
    }
    std::optional<Ser2Net> server;
    if (run.network) {
        server = StartSer2Net(path, run.prompt);
        if (!server) {
            Stop(sim, SIGKILL);
            return std::nullopt;
        }
        path = server->address;
    }
    char t0[64], warm[32], secs[32];
    const double spawn = MonotonicNow();
    std::snprintf(t0, sizeof t0, "%.9f", spawn);
    std::snprintf(warm, sizeof warm, "%.3f", run.warmup);
    std::snprintf(secs, sizeof secs, "%.3f", run.seconds);
    std::vector<std::string> appArgs{"--app", run.scenario, path, run.preset,
                                     t0,      warm,         secs, run.platform};
    if (run.clicks) {
        appArgs.push_back("clicks");
    }
    if (run.maximised) {
        appArgs.push_back("maximised");
    }
    Child app = Spawn(appArgs);
    if (app.pid < 0) {
        Stop(sim, SIGTERM);
        return std::nullopt;
    }
    const std::string text = ReadUntilEof(app.out, spawn + run.warmup + run.seconds + 60.0);
    Stop(app, SIGKILL); // gone already unless it hung
    if (server) {
        Stop(*server);
    }
    Stop(sim, SIGTERM);

    if (std::getenv("KORVEN_BENCH_RAW") != nullptr) {
        std::fprintf(stderr, "--- %s (%s, line timing %s):\n%s", run.scenario.c_str(),
                     run.preset.c_str(), run.lineTiming ? "on" : "off", text.c_str());
    }
    Results r;
    std::istringstream lines(text);
    std::string key;
    double value = 0.0;
    while (lines >> key >> value) {
        r[key] = value;
    }
    if (r.empty()) {
        return std::nullopt;
    }
    return r;
}

// Runs a scenario whose figures come from a measuring window; a run whose
// activity ended before the window closed (a time-out of the line) is
// repeated, up to three runs. `aborted` counts the runs that ended early.
std::optional<Results> RunQtWindow(const QtRun& run, int& aborted) {
    aborted = 0;
    std::optional<Results> r;
    for (int attempt = 0; attempt < 3; ++attempt) {
        r = RunQt(run);
        if (r && r->count("win_failed") == 0) {
            return r;
        }
        ++aborted;
    }
    return r;
}

// Where one exchange's time went, from the program's time stamps.
std::string CycleNote(const std::optional<Results>& r, double lineSeconds) {
    if (!r || r->count("win_request_to_answer_ms") == 0 ||
        r->count("win_answer_to_request_ms") == 0) {
        return {};
    }
    char note[200];
    std::snprintf(note, sizeof note,
                  "request to answer %.2f ms (line and sensor %.2f ms), answer to next "
                  "request %.3f ms, %.0f event passes/s",
                  r->at("win_request_to_answer_ms"), lineSeconds * 1000.0,
                  r->at("win_answer_to_request_ms"),
                  r->count("win_passes") ? r->at("win_passes") : 0.0);
    return note;
}

std::string Join(const std::string& a, const std::string& b) {
    if (a.empty()) {
        return b;
    }
    if (b.empty()) {
        return a;
    }
    return a + "; " + b;
}

std::string AbortNote(int aborted) {
    if (aborted == 0) {
        return {};
    }
    return std::to_string(aborted) +
           " run(s) ended early with \"Timeout RS232-Line!\" and were repeated";
}

double Get(const std::optional<Results>& r, const std::string& key, bool& ok) {
    if (!r) {
        ok = false;
        return 0.0;
    }
    const auto it = r->find(key);
    if (it == r->end() || r->count(key.substr(0, key.find('_')) + "_failed") != 0) {
        ok = false;
        return 0.0;
    }
    return it->second;
}

Row MakeRow(std::string figure, std::string bed, const std::optional<Results>& r,
            const std::string& key, double scale, double limit, std::string unit,
            bool higherIsBetter, double ratioGoal) {
    bool ok = true;
    const double v = Get(r, key, ok) * scale;
    Row row = korven::bench::MakeRow(std::move(figure), std::move(bed), v, limit, std::move(unit));
    row.higherIsBetter = higherIsBetter;
    row.ratioGoal = ratioGoal;
    row.failed = !ok;
    return row;
}

bool Wanted(const std::string& only, const std::string& name) {
    if (only.empty()) {
        return true;
    }
    std::istringstream in(only);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (item == name) {
            return true;
        }
    }
    return false;
}

// How long clicks took to reach their callback: median, maximum, count.
std::string ClickNote(const std::optional<Results>& r, const std::string& group) {
    bool ok = true;
    const double n = Get(r, group + "_n", ok);
    const double p50 = Get(r, group + "_p50_ms", ok);
    const double max = Get(r, group + "_max_ms", ok);
    const double ownP99 = Get(r, group + "_own_p99_ms", ok);
    const double ownMax = Get(r, group + "_own_max_ms", ok);
    if (!ok) {
        return {};
    }
    char note[200];
    std::snprintf(note, sizeof note,
                  "p50 %.2f ms, max %.1f ms, %.0f clicks; less the waits for a core: p99 %.1f "
                  "ms, max %.1f ms",
                  p50, max, n, ownP99, ownMax);
    const double lost = Get(r, "click_lost", ok);
    return lost > 0 ? Join(note, std::to_string(static_cast<long>(lost)) +
                                     " click(s) without a callback within 2 s")
                    : note;
}

constexpr const char* kOffscreenBed = "Qt/pty offscreen";

// The rows that are measured on each Qt platform: line rates and CPU time
// of the loops, and how fast a click reaches its callback meanwhile.
void QtRows(const std::string& platform, const std::string& only, double processing, double seconds,
            std::vector<Row>& rows) {
    const std::string bed = "Qt/pty " + platform;
    const double runLimit = 1.0 / RunCycleSeconds(processing);
    QtRun base{""};
    base.platform = platform;
    base.processing = processing;
    base.seconds = seconds;
    if (Wanted(only, "run") || Wanted(only, "cpu")) {
        QtRun run = base;
        run.scenario = "run";
        int aborted = 0;
        const auto r = RunQtWindow(run, aborted);
        rows.push_back(MakeRow("1 run sequence, answers/s", bed, r, "win_answers", 1.0, runLimit,
                               "1/s", true, 0.97));
        rows.back().note = Join(AbortNote(aborted), CycleNote(r, RunCycleSeconds(processing)));
        rows.push_back(MakeRow("3 CPU during run sequence, % of a core", bed, r, "win_cpu", 100.0,
                               5.0, "%", false, 1.0));
    }
    if (Wanted(only, "net") && platform == "offscreen") {
        for (const bool prompt : {false, true}) {
            QtRun net = base;
            net.scenario = "run";
            net.network = true;
            net.prompt = prompt;
            int aborted = 0;
            const auto r = RunQtWindow(net, aborted);
            const std::string how = prompt ? ", chardelay off, nodelay" : ", ser2net's defaults";
            const std::string where = "Qt/ser2net offscreen";
            rows.push_back(MakeRow("1 run sequence through ser2net (rfc2217) on loopback" + how +
                                       ", answers/s",
                                   where, r, "win_answers", 1.0, runLimit, "1/s", true, 0.95));
            rows.back().note =
                r ? Join(AbortNote(aborted), CycleNote(r, RunCycleSeconds(processing)))
                  : "ser2net (/usr/sbin/ser2net) not installed or not started";
            rows.push_back(
                MakeRow("3 CPU during run sequence through ser2net" + how + ", % of a core", where,
                        r, "win_cpu", 100.0, 5.0, "%", false, 1.0));
        }
    }
    if (Wanted(only, "run") || Wanted(only, "cpu")) {
        QtRun run = base;
        run.scenario = "run";
        int aborted = 0;
        // On a display the graphs are painted for real: the same with the
        // window filling the screen (1920 x 1080 under run.sh --display).
        if (platform != "offscreen") {
            run.maximised = true;
            const auto big = RunQtWindow(run, aborted);
            rows.push_back(MakeRow("3 CPU during run sequence, window maximised, % of a core", bed,
                                   big, "win_cpu", 100.0, 5.0, "%", false, 1.0));
            rows.back().note = AbortNote(aborted);
        }
    }
    if (Wanted(only, "video")) {
        QtRun v = base;
        v.scenario = "video";
        int aborted = 0;
        const auto r = RunQtWindow(v, aborted);
        rows.push_back(MakeRow("2 video loop, 4x64 blocks (board 100), frames/s", bed, r,
                               "win_runframes", 1.0, 1.0 / VideoCycleSeconds(true, processing),
                               "1/s", true, 0.97));
        rows.back().note = AbortNote(aborted);
        rows.push_back(MakeRow("3 CPU during video loop, % of a core", bed, r, "win_cpu", 100.0,
                               5.0, "%", false, 1.0));
        v.preset = "type2-res250";
        const auto r2 = RunQtWindow(v, aborted);
        rows.push_back(MakeRow("2 video loop, 1x256 block (board 200), frames/s", bed, r2,
                               "win_runframes", 1.0, 1.0 / VideoCycleSeconds(false, processing),
                               "1/s", true, 0.97));
        rows.back().note = AbortNote(aborted);
    }
    if (Wanted(only, "cpu")) {
        QtRun s{"silent"};
        s.platform = platform;
        s.silent = true;
        const auto r = RunQt(s);
        rows.push_back(MakeRow("3 CPU, RUN waiting 1.5 s on a silent sensor, %", bed, r, "win_cpu",
                               100.0, 5.0, "%", false, 1.0));
        rows.push_back(MakeRow("3 CPU, echo waiting 1.5 s on a silent sensor, %", bed, r,
                               "echo_cpu", 100.0, 5.0, "%", false, 1.0));
    }
    if (Wanted(only, "click")) {
        // Clicks on a control whose callback leaves the loops alone, for the
        // loops' whole window (run sequence, connection sequence) or filed by
        // what the line was doing when they came (video loop).
        struct ClickCase {
            const char* figure;
            const char* scenario;
            const char* group;
            int trailingBytes;
            const char* note;
        };
        static constexpr ClickCase kCases[] = {
            {"7 click to callback, run sequence, p99 ms", "run", "click_all", 0, ""},
            {"7 click to callback, video block reads, p99 ms", "video", "click_block", 0, ""},
            {"7 click to callback, quiet-line waits, p99 ms", "video", "click_afterblock", 96,
             "96 bytes trail each 64-sample block"},
            {"7 click to callback, start-up sequence, p99 ms", "connect", "click_all", 0,
             "the connection sequence, run again and again as the port choice does"},
        };
        for (const ClickCase& c : kCases) {
            QtRun run = base;
            run.scenario = c.scenario;
            run.trailingBytes = c.trailingBytes;
            run.clicks = true;
            int aborted = 0;
            const auto r = RunQtWindow(run, aborted);
            rows.push_back(MakeRow(c.figure, bed, r, std::string(c.group) + "_p99_ms", 1.0, 50.0,
                                   "ms", false, 1.0));
            rows.back().note = Join(Join(AbortNote(aborted), ClickNote(r, c.group)), c.note);
        }
    }
}

int SimMain(int argc, char** argv) {
    if (argc < 5) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    korven::sim::ModelOptions model;
    if (const korven::sim::Preset* p = korven::sim::FindPreset(argv[2])) {
        model.preset = *p;
    }
    model.processingTime = std::atof(argv[3]) / 1000.0;
    korven::sim::PtyServerOptions server;
    server.lineTiming = std::string(argv[4]) == "on";
    // KORVEN_BENCH_SIM_LOG: keep the sensor's frame log in memory and print
    // its end on exit (printing as it goes would change the timing).
    static std::vector<std::string> simLog;
    static std::mutex simLogMutex;
    if (std::getenv("KORVEN_BENCH_SIM_LOG") != nullptr) {
        server.log = [](const std::string& line) {
            std::lock_guard<std::mutex> lock(simLogMutex);
            simLog.push_back(line.substr(0, 40));
        };
        std::fprintf(stderr, "sim starts at %.6f\n", MonotonicNow());
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    korven::sim::PtyServer sensor(model, server);
    const std::string fault = argc > 5 ? argv[5] : "";
    korven::sim::Faults f;
    f.silent = fault == "silent";
    if (fault == "trail" && argc > 6) {
        // Bytes trailing each 64-sample block: the video loop then waits for
        // a quiet line before its next request.
        f.extraBytes = std::atoi(argv[6]);
        f.command = 9;
    }
    sensor.setFaults(f);
    std::string error;
    if (!sensor.start(&error)) {
        std::fprintf(stderr, "korven-bench: virtual sensor: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", sensor.path().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stopSignals, &sig);
    sensor.stop();
    const std::size_t from = simLog.size() > 8 ? simLog.size() - 8 : 0;
    for (std::size_t k = from; k < simLog.size(); ++k) {
        std::fprintf(stderr, "sim %s\n", simLog[k].c_str());
    }
    return 0;
}

// CPU seconds a child process has used so far, from /proc (clock ticks).
double ChildCpuSeconds(pid_t pid) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f) {
        return -1.0;
    }
    char buf[1024] = "";
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // The fields after the program's name, which is in parentheses.
    const char* rest = std::strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    if (!rest || std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                             &utime, &stime) != 2) {
        return -1.0;
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// korven-darir-cli streaming the run sequence into a pipe, as a script
// reads it: its answers per second and its CPU time over the measuring
// window after the warm-up.
std::optional<Results> RunCliStream(const std::string& dir, double processing, double warmup,
                                    double seconds, const std::vector<std::string>& extra = {}) {
    char processingMs[32];
    std::snprintf(processingMs, sizeof processingMs, "%.6f", processing * 1000.0);
    Child sim = Spawn({"--sim", "type2-res350", processingMs, "on"});
    if (sim.pid < 0) {
        return std::nullopt;
    }
    const std::string path = ReadLine(sim.out, MonotonicNow() + 10.0);
    int fds[2];
    if (path.empty() || ::pipe2(fds, O_CLOEXEC) != 0) {
        Stop(sim, SIGKILL);
        return std::nullopt;
    }
    const std::string cli = dir + "/korven-darir-cli";
    const std::string limit = std::to_string(warmup + seconds + 5.0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            ::dup2(devnull, STDERR_FILENO);
        }
        std::vector<const char*> argv = {"korven-darir-cli", "stream",    "--port",
                                         path.c_str(),       "--seconds", limit.c_str()};
        for (const std::string& a : extra) {
            argv.push_back(a.c_str());
        }
        argv.push_back(nullptr);
        ::execv(cli.c_str(), const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    ::close(fds[1]);
    Child app{pid, fds[0]};
    if (pid < 0) {
        Stop(sim, SIGTERM);
        return std::nullopt;
    }
    // Lines counted as they come; the window opens with the first answer
    // after the warm-up.
    long lines = 0, linesAtOpen = 0;
    double cpuAtOpen = -1.0, opened = 0.0, end = 0.0, cpuAtEnd = -1.0;
    const double start = MonotonicNow();
    char buf[4096];
    while (MonotonicNow() - start < warmup + seconds + 15.0) {
        pollfd p{app.out, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            const ssize_t n = ::read(app.out, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            lines += std::count(buf, buf + n, '\n');
        }
        const double now = MonotonicNow();
        if (cpuAtOpen < 0.0 && lines > 1 && now - start >= warmup) {
            cpuAtOpen = ChildCpuSeconds(pid);
            linesAtOpen = lines;
            opened = now;
        } else if (cpuAtOpen >= 0.0 && now - opened >= seconds) {
            cpuAtEnd = ChildCpuSeconds(pid);
            end = now;
            break;
        }
    }
    const long answers = lines - linesAtOpen;
    Stop(app, SIGINT);
    Stop(sim, SIGTERM);
    if (cpuAtOpen < 0.0 || cpuAtEnd < 0.0) {
        return std::nullopt;
    }
    return Results{{"cli_answers", static_cast<double>(answers) / (end - opened)},
                   {"cli_cpu", (cpuAtEnd - cpuAtOpen) / (end - opened)}};
}

// Debian's mosquitto on a free loopback port with a configuration of its
// own (anonymous, nothing kept on disk); its address, or "" when there is
// no broker to start.
std::string StartBroker(Child& broker, std::string& folder) {
    const char* exe = "/usr/sbin/mosquitto";
    char tmpl[] = "/tmp/korven-bench-broker-XXXXXX";
    if (::access(exe, X_OK) != 0 || ::mkdtemp(tmpl) == nullptr) {
        return {};
    }
    folder = tmpl;
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (probe < 0 || ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return {};
    }
    const int port = ntohs(a.sin_port);
    ::close(probe);
    const std::string conf = folder + "/broker.conf";
    if (std::FILE* f = std::fopen(conf.c_str(), "w")) {
        const char* user = std::getenv("USER");
        std::fprintf(f, "listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n", port);
        if (::geteuid() == 0) {
            std::fprintf(f, "user %s\n", user != nullptr ? user : "root");
        }
        std::fclose(f);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            ::dup2(devnull, STDOUT_FILENO);
            ::dup2(devnull, STDERR_FILENO);
        }
        ::execl(exe, "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    broker.pid = pid;
    // Until it listens.
    for (int i = 0; i < 100; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        const bool up = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(s);
        if (up) {
            return "mqtt://127.0.0.1:" + std::to_string(port);
        }
        ::usleep(50000);
    }
    return {};
}

std::string Today() {
    const std::time_t t = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", std::gmtime(&t));
    return buf;
}

std::string Machine() {
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    double load = 0.0;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) {
            load = 0.0;
        }
        std::fclose(f);
    }
    char buf[128];
    std::snprintf(buf, sizeof buf, "%ld cores, %.1f GiB, load average %.2f at start", cores,
                  static_cast<double>(pages) * static_cast<double>(pageSize) / (1 << 30), load);
    return buf;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--sim") {
        return SimMain(argc, argv);
    }
    if (argc >= 9 && std::string(argv[1]) == "--app") {
        AppOptions o;
        o.scenario = argv[2];
        o.port = argv[3];
        o.preset = argv[4];
        o.spawnTime = std::atof(argv[5]);
        o.warmup = std::atof(argv[6]);
        o.seconds = std::atof(argv[7]);
        o.platform = argv[8];
        for (int i = 9; i < argc; ++i) {
            o.clicks = o.clicks || std::string(argv[i]) == "clicks";
            o.maximised = o.maximised || std::string(argv[i]) == "maximised";
        }
        int qtArgc = 1;
        return RunApp(qtArgc, argv, o);
    }

    double seconds = 10.0;
    double memorySeconds = 600.0;
    double processing = 0.002;
    bool quick = false;
    std::vector<std::string> platforms{"offscreen"};
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> double {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "korven-bench: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            char* end = nullptr;
            const double v = std::strtod(argv[++i], &end);
            if (end == nullptr || *end != '\0' || !std::isfinite(v) || v < 0.0) {
                std::fprintf(stderr, "korven-bench: bad value '%s' for %s\n", argv[i], arg.c_str());
                std::exit(2);
            }
            return v;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--quick") {
            quick = true;
        } else if (arg == "--xcb") {
            platforms = {"offscreen", "xcb"};
        } else if (arg == "--seconds") {
            seconds = std::max(1.0, value());
        } else if (arg == "--memory-seconds") {
            memorySeconds = std::max(5.0, value());
        } else if (arg == "--processing-ms") {
            processing = value() / 1000.0;
        } else if (arg == "--only") {
            if (i + 1 >= argc) {
                std::fputs("korven-bench: --only needs a list\n", stderr);
                return 2;
            }
            only = argv[++i];
        } else {
            std::fprintf(stderr, "korven-bench: unknown option '%s'\n\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (quick) {
        seconds = std::min(seconds, 3.0);
        memorySeconds = std::min(memorySeconds, 20.0);
    }
    std::signal(SIGPIPE, SIG_IGN);

    const std::string machine = Machine();
    std::vector<Row> rows;
    const std::string dir = SelfPath().substr(0, SelfPath().rfind('/'));

    if (Wanted(only, "headless")) {
        HeadlessOptions h;
        h.projectDir = dir;
        h.processing = processing;
        h.seconds = seconds;
        h.ownCostSeconds = std::min(seconds, 3.0);
        RunHeadlessBenchmarks(h, rows);
    }

    for (const std::string& platform : platforms) {
        QtRows(platform, only, processing, seconds, rows);
    }
    if (Wanted(only, "cli")) {
        const auto r = RunCliStream(dir, processing, 1.0, seconds);
        const double runLimit = 1.0 / RunCycleSeconds(processing);
        rows.push_back(MakeRow("1 korven-darir-cli stream, answers/s", "cli/pty", r, "cli_answers",
                               1.0, runLimit, "1/s", true, 0.97));
        rows.push_back(MakeRow("3 CPU of korven-darir-cli stream, % of a core", "cli/pty", r,
                               "cli_cpu", 100.0, 1.0, "%", false, 1.0));
        // The same publishing every answer to a local broker: the run keeps
        // its pace, and the publishing's own cost is the difference.
        Child broker;
        std::string folder;
        const std::string url = StartBroker(broker, folder);
        std::optional<Results> m;
        if (!url.empty()) {
            m = RunCliStream(dir, processing, 1.0, seconds,
                             {"--mqtt", url, "--mqtt-station", "bench"});
        }
        Stop(broker, SIGTERM);
        if (!folder.empty()) {
            std::filesystem::remove_all(folder);
        }
        rows.push_back(MakeRow("1 korven-darir-cli stream --mqtt, answers/s", "cli/pty+mqtt", m,
                               "cli_answers", 1.0, runLimit, "1/s", true, 0.97));
        if (r && m) {
            (*m)["cli_mqtt_cpu"] = m->at("cli_cpu") - r->at("cli_cpu");
        }
        rows.push_back(MakeRow("3 CPU of --mqtt over without, % of a core", "cli/pty+mqtt", m,
                               "cli_mqtt_cpu", 100.0, 1.0, "%", false, 1.0));
    }
    if (Wanted(only, "own")) {
        QtRun o{"instant"};
        o.lineTiming = false;
        o.processing = 0.0;
        o.seconds = std::min(seconds, 5.0);
        int aborted = 0;
        const auto r = RunQtWindow(o, aborted);
        rows.push_back(MakeRow("4 own cost, instant sensor, answers/s (wall)", kOffscreenBed, r,
                               "win_answers", 1.0, 2000.0, "1/s", true, 1.0));
        rows.back().note = Join(AbortNote(aborted), CycleNote(r, 0.0));
    }
    if (Wanted(only, "startup")) {
        const double limit = StartupSeconds(processing);
        QtRun s{"startup"};
        s.processing = processing;
        // Several starts; the median is reported.
        std::vector<double> times;
        for (int k = 0; k < 5; ++k) {
            const auto r = RunQt(s);
            bool ok = true;
            const double t = Get(r, "firmware_s", ok);
            if (ok) {
                times.push_back(t);
            }
        }
        Row row = korven::bench::MakeRow("5 start-up to firmware text, s", kOffscreenBed, 0.0,
                                         limit, "s");
        row.higherIsBetter = false;
        row.ratioGoal = (limit + 0.3) / limit;
        if (times.empty()) {
            row.failed = true;
        } else {
            std::sort(times.begin(), times.end());
            row.measured = times[times.size() / 2];
            char note[160];
            std::snprintf(note, sizeof note,
                          "median of %zu starts (%.3f to %.3f s); goal is the line's %.3f s "
                          "plus 0.3 s",
                          times.size(), times.front(), times.back(), limit);
            row.note = note;
        }
        rows.push_back(row);
    }
    if (Wanted(only, "memory")) {
        QtRun m{"memory"};
        m.processing = processing;
        m.warmup = std::min(30.0, memorySeconds / 10.0);
        m.seconds = memorySeconds - m.warmup;
        const auto r = RunQt(m);
        Row steady = MakeRow("6 memory, RSS at end vs after warm-up, KiB", kOffscreenBed, r,
                             "rss_end_kib", 1.0, 0.0, "KiB", false, 1.01);
        bool ok = true;
        steady.goal = Get(r, "rss_warm_kib", ok);
        steady.failed = steady.failed || !ok;
        char note[200];
        bool restartsKnown = true;
        const double restarts = Get(r, "restarts", restartsKnown);
        std::snprintf(note, sizeof note,
                      "%.0f s run sequence; RSS sampled every second; run restarted %.0f "
                      "time(s) after a line time-out",
                      memorySeconds, restartsKnown ? restarts : 0.0);
        steady.note = note;
        rows.push_back(steady);
        Row peak = MakeRow("6 memory, peak (VmHWM) vs after warm-up, KiB", kOffscreenBed, r,
                           "hwm_kib", 1.0, steady.goal, "KiB", false, 1.05);
        peak.failed = peak.failed || steady.failed;
        rows.push_back(peak);
    }

    PrintTable(rows, "KORVEN-Darir benchmarks, " + Today() + ", " + machine);
    return 0;
}
