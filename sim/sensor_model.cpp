#include "sim/sensor_model.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <numbers>
#include <sstream>
#include <sys/stat.h>
#if defined(_WIN32)
#include <filesystem>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace korven::sim {

namespace {

void PutWord(Bytes& out, std::size_t at, std::uint16_t w) {
    out[at] = static_cast<std::uint8_t>(w >> 8);
    out[at + 1] = static_cast<std::uint8_t>(w & 0xFF);
}

std::uint16_t Clamp16(double v) {
    if (!(v > 0.0)) {
        return 0;
    }
    if (v >= 65535.0) {
        return 65535;
    }
    return static_cast<std::uint16_t>(std::lround(v));
}

} // namespace

Bytes FirmwareBlock(const Preset& preset) {
    Bytes block(kFirmwareBlockBytes, 0);
    const std::string& text = preset.firmware;
    if (preset.pcbtype == 0) {
        const std::size_t n = std::min<std::size_t>(text.size(), kFirmwareBlockBytes / 2);
        for (std::size_t k = 0; k < n; ++k) {
            PutWord(block, 2 * k, static_cast<std::uint8_t>(text[k]));
        }
    } else {
        // Always leave room for the terminating zero.
        const std::size_t n = std::min<std::size_t>(text.size(), kFirmwareBlockBytes - 1);
        std::memcpy(block.data(), text.data(), n);
    }
    return block;
}

// ---- frames ---------------------------------------------------------------

Bytes SensorModel::commandFrame(int command, const Words& words) {
    Bytes f(kFrameBytes, 0);
    PutWord(f, 0, kCommandSync);
    PutWord(f, 2, static_cast<std::uint16_t>(command));
    for (int k = 0; k < kDataWords; ++k) {
        PutWord(f, 4 + 2 * static_cast<std::size_t>(k), words[static_cast<std::size_t>(k)]);
    }
    return f;
}

Bytes SensorModel::commandFrame(int command, std::initializer_list<std::uint16_t> words) {
    Words w{};
    std::size_t k = 0;
    for (std::uint16_t v : words) {
        if (k < w.size()) {
            w[k++] = v;
        }
    }
    return commandFrame(command, w);
}

Bytes SensorModel::answerFrame(int command, const Words& words) {
    Bytes f = commandFrame(command, words);
    PutWord(f, 0, kAnswerSync);
    return f;
}

std::uint16_t SensorModel::wordAt(std::span<const std::uint8_t> bytes, std::size_t byteIndex) {
    if (byteIndex + 1 >= bytes.size()) {
        return 0;
    }
    return static_cast<std::uint16_t>(bytes[byteIndex] << 8 | bytes[byteIndex + 1]);
}

std::uint16_t SensorModel::dataWord(std::span<const std::uint8_t> frame, int k) {
    return wordAt(frame, 4 + 2 * static_cast<std::size_t>(k));
}

// ---- construction and EEPROM ------------------------------------------------

SensorModel::SensorModel(ModelOptions options) : options_(std::move(options)), rng_(options_.seed) {
    if (options_.preset.ccdmaxpixel == 0) {
        options_.preset.ccdmaxpixel = 1;
    }
    if (options_.preset.ccdsubpixel == 0) {
        options_.preset.ccdsubpixel = options_.preset.ccdmaxpixel;
    }
    videoMax_ = VideoMax(options_.preset);
    slopeScale_ = SlopeScale(options_.preset);
    loadEeprom();
    ram_ = eeprom_;
    resetAnalogue();
}

void SensorModel::loadEeprom() {
    eeprom_ = FactoryParameters(options_.preset);
    if (options_.eepromPath.empty()) {
        return;
    }
    std::ifstream in(options_.eepromPath);
    if (!in) {
        struct stat st {};
        if (::stat(options_.eepromPath.c_str(), &st) == 0) {
            eepromError_ = "cannot read EEPROM file " + options_.eepromPath + "; factory values";
        }
        return; // no file yet: a fresh EEPROM
    }
    Words loaded{};
    std::size_t count = 0;
    std::string line;
    bool ok = true;
    while (ok && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        std::istringstream ls(line);
        std::string token;
        while (ls >> token) {
            if (token.size() > 5 || token.find_first_not_of("0123456789") != std::string::npos) {
                ok = false;
                break;
            }
            const unsigned long v = std::stoul(token);
            if (v > 65535 || count >= loaded.size()) {
                ok = false;
                break;
            }
            loaded[count++] = static_cast<std::uint16_t>(v);
        }
    }
    if (!ok || count != loaded.size()) {
        eepromError_ = "EEPROM file " + options_.eepromPath +
                       " is broken (16 values 0..65535 expected); factory values";
        return;
    }
    eeprom_ = loaded;
}

bool SensorModel::storeEeprom() {
    if (options_.eepromPath.empty()) {
        return true;
    }
    std::string text = "# KORVEN virtual sensor EEPROM (" + options_.preset.name + ")\n";
    for (std::uint16_t v : eeprom_) {
        text += std::to_string(v);
        text += '\n';
    }
    const std::string& path = options_.eepromPath;
#if defined(_WIN32)
    // Written beside the file and put in its place (which replaces it).
    const std::string temp = path + ".tmp." + std::to_string(::_getpid());
    bool ok = false;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        ok = out && (out << text) && out.flush();
    }
    std::error_code ec;
    if (ok) {
        std::filesystem::rename(temp, path, ec);
        ok = !ec;
    }
    if (!ok) {
        eepromError_ = "cannot write EEPROM file " + path;
        std::filesystem::remove(temp, ec);
        return false;
    }
#else
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        eepromError_ = "cannot write EEPROM file " + temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) {
        ok = false;
    }
    if (::close(fd) != 0) {
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        eepromError_ = "cannot write EEPROM file " + path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
#endif
    eepromError_.clear();
    return true;
}

// ---- input ------------------------------------------------------------------

void SensorModel::resetInput() {
    bytesDiscarded_ += static_cast<long>(pending_.size());
    pending_.clear();
}

std::vector<Output> SensorModel::receive(double t, std::span<const std::uint8_t> bytes) {
    std::vector<Output> outputs;
    if (bytes.empty()) {
        return outputs;
    }
    const double bt = options_.byteTime;
    const std::size_t n = bytes.size();
    const double chunkStart = t - static_cast<double>(n - 1) * bt;
    Bytes dropped;
    if (!pending_.empty() && chunkStart - lastByteTime_ > options_.frameGap) {
        // A frame that stopped half-way is stale: start afresh.
        dropped.insert(dropped.end(), pending_.begin(), pending_.end());
        pending_.clear();
    }
    for (std::size_t i = 0; i < n; ++i) {
        pending_.push_back(bytes[i]);
        // Look for the sync word 0x00 0x55, one byte at a time.
        while (!pending_.empty()) {
            const bool bad = pending_[0] != 0x00 || (pending_.size() >= 2 && pending_[1] != 0x55);
            if (!bad) {
                break;
            }
            dropped.push_back(pending_.front());
            pending_.erase(pending_.begin());
        }
        if (pending_.size() == static_cast<std::size_t>(kFrameBytes)) {
            Bytes frame;
            frame.swap(pending_);
            const double frameEnd = t - static_cast<double>(n - 1 - i) * bt;
            std::vector<Output> more = handleFrame(frameEnd, frame);
            for (Output& o : more) {
                outputs.push_back(std::move(o));
            }
        }
    }
    lastByteTime_ = t;
    if (!dropped.empty()) {
        bytesDiscarded_ += static_cast<long>(dropped.size());
        if (discardObserver_) {
            discardObserver_(t, dropped);
        }
    }
    return outputs;
}

std::vector<Output> SensorModel::handleFrame(double t, const Bytes& frame) {
    ++framesReceived_;
    if (frameObserver_) {
        frameObserver_(t, frame);
    }
    std::vector<Output> outputs;
    if (faults_.dropAfterFrames >= 0 && framesReceived_ > faults_.dropAfterFrames) {
        return outputs; // the line is gone: nothing is processed any more
    }
    const int command = wordAt(frame, 2);
    Words request{};
    for (int k = 0; k < kDataWords; ++k) {
        request[static_cast<std::size_t>(k)] = dataWord(frame, k);
    }
    bool answers = false;
    Bytes answer = answerFor(t, command, request, answers);
    if (answers) {
        outputs.push_back(Output{t + options_.processingTime, command, std::move(answer)});
        applyFaults(command, outputs);
    }
    return outputs;
}

Bytes SensorModel::answerFor(double t, int command, const Words& request, bool& answers) {
    answers = true;
    switch (command) {
    case kCmdWriteRam:
        ram_ = request;
        answers = false;
        return {};
    case kCmdWriteEeprom:
        eeprom_ = request;
        ram_ = request;
        storeEeprom();
        answers = false;
        return {};
    case kCmdReadRam:
        return answerFrame(command, ram_);
    case kCmdReadEeprom:
        return answerFrame(command, eeprom_);
    case kCmdEcho:
        return answerFrame(command, request);
    case kCmdTeach: {
        const Measurement m = measure(t);
        if (m.valid) {
            ram_[kTVal] = m.mvalue;
        }
        return answerFrame(command, ram_);
    }
    case kCmdFirmware:
        return FirmwareBlock(options_.preset);
    case kCmdRun: {
        const Measurement m = measure(t);
        trackAnalogue(m);
        Words w{};
        w[0] = m.ledge;
        w[1] = m.redge;
        w[2] = m.mvalue;
        w[3] = static_cast<std::uint16_t>(m.umValue & 0xFFFF);
        w[4] = static_cast<std::uint16_t>(m.umValue >> 16);
        w[5] = ram_[kTVal];
        w[6] = ram_[kTTol];
        w[7] = m.edges;
        w[8] = m.mvstart;
        w[9] = m.mvend;
        // Word 10: the switching output, 1 while the value is within tolerance.
        const int diff = static_cast<int>(m.mvalue) - static_cast<int>(ram_[kTVal]);
        w[10] = (m.valid && std::abs(diff) <= static_cast<int>(ram_[kTTol])) ? 1 : 0;
        w[11] = anaMax_;
        w[12] = anaMin_;
        return answerFrame(command, w);
    }
    case kCmdVideo64:
        return videoBlock(t, request[0], 64);
    case kCmdHardware:
        return answerFrame(command, HardwareWords(options_.preset));
    case kCmdAnalogReset:
        if (options_.preset.pcbtype == 0 || options_.preset.pcbtype == 100) {
            resetAnalogue();
            Words w{};
            w[0] = anaMax_;
            w[1] = anaMin_;
            return answerFrame(command, w);
        }
        return videoBlock(t, 0, kVideoSamples);
    case kCmdCalibration: {
        switch (request[0]) {
        case 0:
            calibrating_ = false;
            break;
        case 1:
            calibrating_ = true;
            break;
        case 2:
            ram_[kSlope] = request[1];
            ram_[kIntersect] = request[2];
            break;
        default:
            break; // unknown sub-function: only report the current values
        }
        Words w{};
        w[0] = ram_[kSlope];
        w[1] = ram_[kIntersect];
        return answerFrame(command, w);
    }
    default:
        answers = false;
        return {};
    }
}

void SensorModel::applyFaults(int command, std::vector<Output>& outputs) {
    if (faults_.command != 0 && faults_.command != command) {
        return;
    }
    if (faults_.silent) {
        outputs.clear();
        return;
    }
    for (Output& o : outputs) {
        if (faults_.garbage) {
            for (std::uint8_t& b : o.bytes) {
                b = static_cast<std::uint8_t>(rng_() & 0xFF);
            }
            // Never by chance a valid answer start.
            if (o.bytes.size() >= 2 && o.bytes[0] == 0x00 && o.bytes[1] == 0xAA) {
                o.bytes[0] = 0xA5;
            }
        }
        if (faults_.cutBytes > 0) {
            const std::size_t cut =
                std::min(o.bytes.size(), static_cast<std::size_t>(faults_.cutBytes));
            o.bytes.erase(o.bytes.end() - static_cast<std::ptrdiff_t>(cut), o.bytes.end());
        }
        for (int k = 0; k < faults_.extraBytes; ++k) {
            o.bytes.push_back(static_cast<std::uint8_t>(0xE0 + (k & 0x0F)));
        }
        o.due += std::max(0.0, faults_.lateSeconds);
    }
    outputs.erase(std::remove_if(outputs.begin(), outputs.end(),
                                 [](const Output& o) { return o.bytes.empty(); }),
                  outputs.end());
}

// ---- the scene --------------------------------------------------------------

double SensorModel::gauss() {
    // Box-Muller on the seeded engine, so a seed gives the same noise on
    // every platform.
    constexpr double kTwoPi = 2.0 * std::numbers::pi;
    const double u1 = (static_cast<double>(rng_()) + 1.0) / 4294967297.0;
    const double u2 = static_cast<double>(rng_()) / 4294967296.0;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
}

namespace {

struct Span {
    double a, b; // line fractions
};

std::vector<Span> ObjectsAt(double t, const SceneOptions& scene) {
    constexpr double kTwoPi = 2.0 * std::numbers::pi;
    const double td = t * scene.drift;
    std::vector<Span> spans;
    const double c1 = 0.5 + 0.10 * std::sin(kTwoPi * td / 20.0);
    const double w1 = 0.24 + 0.02 * std::sin(kTwoPi * td / 31.0 + 1.0);
    spans.push_back({c1 - w1 / 2, c1 + w1 / 2});
    if (scene.objects >= 2) {
        const double c2 = 0.16 + 0.03 * std::sin(kTwoPi * td / 17.0 + 2.0);
        const double w2 = 0.07;
        spans.push_back({c2 - w2 / 2, c2 + w2 / 2});
    }
    return spans;
}

} // namespace

std::vector<double> SensorModel::sceneEdges(double t) const {
    std::vector<double> edges;
    const double sub = options_.preset.ccdsubpixel;
    for (const Span& s : ObjectsAt(t, options_.scene)) {
        edges.push_back(s.a * sub);
        edges.push_back(s.b * sub);
    }
    std::sort(edges.begin(), edges.end());
    return edges;
}

std::vector<std::uint16_t> SensorModel::captureLine(double t) {
    const int pixels = options_.preset.ccdmaxpixel;
    const std::vector<Span> spans = ObjectsAt(t, options_.scene);
    // The optics blur every edge over a few pixels.
    const double blur = 1.5 / pixels;
    const double gain = std::clamp(ram_[kPower] / 500.0, 0.0, 2.0);
    std::vector<std::uint16_t> line(static_cast<std::size_t>(pixels));
    for (int k = 0; k < pixels; ++k) {
        const double x = (k + 0.5) / pixels;
        double cover = 0.0;
        for (const Span& s : spans) {
            const double in = 0.5 * (1.0 + std::tanh((x - s.a) / blur)) * 0.5 *
                              (1.0 + std::tanh((s.b - x) / blur));
            cover = std::max(cover, in);
        }
        const double edgeFall = 2.0 * x - 1.0;
        const double light = 0.86 * (1.0 - 0.18 * edgeFall * edgeFall) * gain;
        double v = light * (1.0 - 0.9 * cover) + 0.02 + options_.scene.noise * gauss();
        v = std::clamp(v, 0.0, 1.0);
        line[static_cast<std::size_t>(k)] = static_cast<std::uint16_t>(std::lround(v * videoMax_));
    }
    lastLine_ = line;
    lastLineTime_ = t;
    return line;
}

std::array<std::uint16_t, kVideoSamples>
SensorModel::videoSamples(const std::vector<std::uint16_t>& line) const {
    std::array<std::uint16_t, kVideoSamples> samples{};
    if (line.empty()) {
        return samples;
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const std::size_t k = i * line.size() / kVideoSamples;
        samples[i] = line[std::min(k, line.size() - 1)];
    }
    return samples;
}

Measurement SensorModel::evaluate(const std::vector<std::uint16_t>& line) const {
    Measurement m;
    const int pixels = static_cast<int>(line.size());
    const double sub = options_.preset.ccdsubpixel;
    if (pixels < 2) {
        return m;
    }
    const double f = sub / pixels; // sub-pixel units per pixel
    const double winBeg = std::max<double>(1.0, ram_[kEBeg]);
    const double winEnd = std::min<double>(sub, ram_[kEEnd]);
    const double thr = ram_[kVThd];
    struct Edge {
        std::uint16_t pos;
        bool rising; // dark to bright, going right
    };
    std::vector<Edge> edges;
    if (winBeg <= winEnd) {
        // Pixels whose centre lies inside the window.
        const int kb = std::max(0, static_cast<int>(std::ceil(winBeg / f - 0.5)));
        const int ke = std::min(pixels - 1, static_cast<int>(std::floor(winEnd / f - 0.5)));
        for (int k = kb; k < ke; ++k) {
            const double v0 = line[static_cast<std::size_t>(k)];
            const double v1 = line[static_cast<std::size_t>(k + 1)];
            if ((v0 < thr) == (v1 < thr)) {
                continue;
            }
            const double frac = (thr - v0) / (v1 - v0);
            const double pos = std::clamp((k + 0.5 + frac) * f, 1.0, sub);
            edges.push_back({Clamp16(pos), v1 >= thr});
        }
    }
    m.edges = static_cast<std::uint16_t>(std::min<std::size_t>(edges.size(), 65535));
    if (!edges.empty()) {
        m.ledge = edges.front().pos;
        m.redge = edges.back().pos;
        if (edges.size() == 1) {
            // The measured stretch runs from the edge towards the lit side.
            m.mvstart = m.ledge;
            m.mvend = edges.front().rising ? Clamp16(winEnd) : Clamp16(winBeg);
        } else {
            m.mvstart = m.ledge;
            m.mvend = m.redge;
        }
    }
    const std::uint16_t mode = ram_[kEMode];
    if (mode <= 1) {
        m.valid = !edges.empty();
        m.mvalue = mode == 0 ? m.ledge : m.redge;
    } else if (edges.size() >= 2) {
        m.valid = true;
        m.mvalue = mode == 2 ? static_cast<std::uint16_t>(m.redge - m.ledge)
                             : static_cast<std::uint16_t>((m.ledge + m.redge) / 2);
    }
    if (!m.valid) {
        m.mvalue = 0;
    }
    const double um = static_cast<double>(ram_[kSlope]) / slopeScale_ * m.mvalue +
                      (static_cast<double>(ram_[kIntersect]) - 30000.0);
    m.umValue = um > 0.0 ? static_cast<std::uint32_t>(std::min(std::round(um), 4294967295.0)) : 0;
    return m;
}

Measurement SensorModel::measure(double t) {
    return evaluate(captureLine(t));
}

Bytes SensorModel::videoBlock(double t, int first, int count) {
    // The block shows the line of the last measurement; a line older than
    // half a second is captured anew.
    if (lastLine_.empty() || t - lastLineTime_ > 0.5 || t < lastLineTime_) {
        captureLine(t);
    }
    const auto samples = videoSamples(lastLine_);
    Bytes block(static_cast<std::size_t>(count) * 2, 0);
    for (int i = 0; i < count; ++i) {
        const int s = first + i;
        const std::uint16_t v =
            (s >= 0 && s < kVideoSamples) ? samples[static_cast<std::size_t>(s)] : 0;
        PutWord(block, 2 * static_cast<std::size_t>(i), v);
    }
    return block;
}

void SensorModel::trackAnalogue(const Measurement& m) {
    if (!m.valid) {
        return; // no object: the output holds its last value
    }
    const std::uint16_t top = static_cast<std::uint16_t>(options_.preset.ccdmaxpixelX8 - 1);
    const std::uint16_t out = std::min(m.mvalue, top);
    anaMax_ = std::max(anaMax_, out);
    anaMin_ = std::min(anaMin_, out);
}

void SensorModel::resetAnalogue() {
    anaMax_ = 0;
    anaMin_ = static_cast<std::uint16_t>(options_.preset.ccdmaxpixelX8 - 1);
}

} // namespace korven::sim
