// The virtual sensor: a device model of the KORVEN CCD line-sensor family.
//
// Bytes in, bytes out. The model assembles 36-byte command frames from
// pieces of any size, answers each with a 36-byte answer frame or a raw
// block, and says when each answer is due. It knows nothing about serial
// ports or threads: the pseudo-terminal server and the headless test peer
// both drive it.
//
// The scene: a brightly lit CCD line with one or two dark objects whose
// edges drift slowly over time, plus noise from a seeded generator. Video
// samples, edges and the measured value all come from that one scene and the
// RAM parameter set:
//   - pixel values are in video units (0..videoMax, see VideoMax());
//   - an edge is where the pixel signal crosses vThd inside the window
//     eBeg..eEnd; positions are interpolated between pixels and given in
//     sub-pixel units (1..ccdsubpixel);
//   - the measured value by eMode: 0 left edge, 1 right edge, 2 width
//     (right edge - left edge), 3 and above centre ((left + right) / 2);
//     0 when the edges it needs were not found;
//   - umValue = slope / m * Mvalue + (intersect - 30000), rounded, never
//     below 0 (m = 1024, or 512 for type 104);
//   - power scales the light (500 = normal); polarity, averaging and the
//     other settings are stored and reported but do not change the scene;
//   - the analogue output follows the measured value (0..ccdmaxpixelX8-1);
//     the model keeps its maximum and minimum since the last reset. After a
//     reset the maximum is 0 and the minimum ccdmaxpixelX8-1.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korven::sim {

inline constexpr int kFrameBytes = 36;
inline constexpr int kDataWords = 16;
inline constexpr std::uint16_t kCommandSync = 0x0055;
inline constexpr std::uint16_t kAnswerSync = 0x00AA;
inline constexpr int kFirmwareBlockBytes = 72;
inline constexpr int kVideo64BlockBytes = 128;
inline constexpr int kVideo256BlockBytes = 512;
inline constexpr int kVideoSamples = 256;
// 8N1 at 19200 baud: ten bit times per byte.
inline constexpr double kByteTime19200 = 10.0 / 19200.0;

// Command codes.
enum Command : int {
    kCmdWriteRam = 1,
    kCmdReadRam = 2,
    kCmdWriteEeprom = 3,
    kCmdReadEeprom = 4,
    kCmdEcho = 5,
    kCmdTeach = 6,
    kCmdFirmware = 7,
    kCmdRun = 8,
    kCmdVideo64 = 9,
    kCmdHardware = 10,
    kCmdAnalogReset = 11, // also the 256-sample video read on boards other than 0 and 100
    kCmdCalibration = 12,
};

// Word indexes of the parameter set.
enum ParamWord : int {
    kPower = 0,
    kRs232Mode = 1,
    kVThd = 2,
    kAnaMode = 3,
    kPolarity = 4,
    kEMode = 5,
    kEBeg = 6,
    kEEnd = 7,
    kTVal = 8,
    kTTol = 9,
    kOpMode = 10,
    kEHardware = 11,
    kSlope = 12,
    kIntersect = 13,
    kAverage = 14,
    kDeltaTol = 15,
};

using Words = std::array<std::uint16_t, kDataWords>;
using Bytes = std::vector<std::uint8_t>;

// One model of the family: what the hardware-info answer reports, and the
// firmware text.
struct Preset {
    std::string name;
    std::string summary; // one line for --list-presets
    std::uint16_t ccdtype = 2;
    std::uint16_t ccdmaxpixel = 1024;
    std::uint16_t ccdresolution = 350;
    std::uint16_t pcbtype = 100;
    std::uint16_t ccdmaxpixelX8 = 8192;
    std::uint16_t ccdsubpixel = 8192;
    std::uint16_t ccdpixE = 8192;
    std::uint16_t softversion = 231;
    std::string firmware = "KORVEN CCD-1024 FW 2.31 (simulated)";
};

const std::vector<Preset>& Presets();
const Preset* FindPreset(std::string_view name); // nullptr when unknown
const Preset& DefaultPreset();                   // "type2-res350", board 100
// Full scale of the video samples: 255 for firmware 220 and later on the
// types whose video graph is 256 high, else 1023.
std::uint16_t VideoMax(const Preset& preset);
// Fixed-point scale of the calibration slope: 512 for type 104, else 1024.
std::uint16_t SlopeScale(const Preset& preset);
// The parameter set of a fresh EEPROM.
Words FactoryParameters(const Preset& preset);
// Hardware-info answer words 0..15.
Words HardwareWords(const Preset& preset);
// The 72-byte firmware block: on board 0 one character per big-endian word,
// on other boards zero-terminated text.
Bytes FirmwareBlock(const Preset& preset);

// Misbehaviour for tests. Applies to every answer, or only to answers of one
// command when `command` is not 0.
struct Faults {
    bool silent = false;       // answer nothing
    double lateSeconds = 0.0;  // answer this much later than normal
    int cutBytes = 0;          // leave out the last N bytes of an answer
    int extraBytes = 0;        // append N bytes to an answer
    bool garbage = false;      // send bytes of the right length that make no sense
    long dropAfterFrames = -1; // after N command frames received, stop answering (<0 never)
    int command = 0;           // 0: all commands; else only answers of this command
};

struct SceneOptions {
    int objects = 1;      // 1 or 2 dark objects on the line
    double noise = 0.006; // standard deviation, fraction of full scale
    double drift = 1.0;   // speed of the edges' movement (0 freezes the scene)
};

struct ModelOptions {
    Preset preset = DefaultPreset();
    std::uint32_t seed = 1;
    double processingTime = 0.002; // seconds from a request's last byte to its answer
    // Time one byte takes on the line; used to place the end of a frame that
    // arrived in the middle of a larger piece. 0 = all bytes at once.
    double byteTime = kByteTime19200;
    // A partly received frame is thrown away after this much silence.
    double frameGap = 0.1;
    std::string eepromPath; // empty: the EEPROM lives in memory only
    SceneOptions scene;
};

// An answer and the time its first byte is due on the line.
struct Output {
    double due = 0.0;
    int command = 0;
    Bytes bytes;
};

// One evaluation of the scene.
struct Measurement {
    std::uint16_t ledge = 0, redge = 0, mvalue = 0;
    std::uint32_t umValue = 0;
    std::uint16_t edges = 0, mvstart = 0, mvend = 0;
    bool valid = false; // the edges the evaluation mode needs were found
};

class SensorModel {
  public:
    explicit SensorModel(ModelOptions options = {});

    // Bytes from the host; t is the time the last of them arrived. Returns
    // the answers, in order, with their due times.
    std::vector<Output> receive(double t, std::span<const std::uint8_t> bytes);
    // Throws away a partly received frame (e.g. when the host closes the port).
    void resetInput();

    const ModelOptions& options() const { return options_; }
    const Preset& preset() const { return options_.preset; }
    std::uint16_t videoMax() const { return videoMax_; }
    std::uint16_t slopeScale() const { return slopeScale_; }

    const Words& ram() const { return ram_; }
    const Words& eeprom() const { return eeprom_; }
    void setRam(const Words& words) { ram_ = words; }
    void setRamWord(int word, std::uint16_t value) {
        ram_.at(static_cast<std::size_t>(word)) = value;
    }

    Faults& faults() { return faults_; }
    void setFaults(const Faults& faults) { faults_ = faults; }
    void setProcessingTime(double seconds) { options_.processingTime = seconds; }
    void setByteTime(double seconds) { options_.byteTime = seconds; }

    // The scene at time t with the RAM parameter set (advances the noise).
    Measurement measure(double t);
    // Pixel values of the line at time t, 0..videoMax (advances the noise).
    std::vector<std::uint16_t> captureLine(double t);
    // 256 video samples of a line.
    std::array<std::uint16_t, kVideoSamples>
    videoSamples(const std::vector<std::uint16_t>& line) const;
    // The line the video blocks currently show (the last one captured).
    const std::vector<std::uint16_t>& lastLine() const { return lastLine_; }
    // Evaluation of a captured line with the RAM parameter set.
    Measurement evaluate(const std::vector<std::uint16_t>& line) const;
    // Object edges of the noise-free scene at time t, in sub-pixel units
    // (sorted); what an ideal threshold halfway up the shadows would report.
    std::vector<double> sceneEdges(double t) const;

    bool calibrationActive() const { return calibrating_; }
    std::uint16_t anaMax() const { return anaMax_; }
    std::uint16_t anaMin() const { return anaMin_; }

    long framesReceived() const { return framesReceived_; }
    long bytesDiscarded() const { return bytesDiscarded_; }
    // Last problem with the EEPROM file, empty when none.
    const std::string& eepromError() const { return eepromError_; }

    // Called for every complete command frame (time of its last byte).
    void setFrameObserver(std::function<void(double, const Bytes&)> observer) {
        frameObserver_ = std::move(observer);
    }
    // Called for bytes thrown away while looking for a frame start.
    void setDiscardObserver(std::function<void(double, const Bytes&)> observer) {
        discardObserver_ = std::move(observer);
    }

    // Frame helpers (big-endian words).
    static Bytes commandFrame(int command, const Words& words);
    static Bytes commandFrame(int command, std::initializer_list<std::uint16_t> words);
    static Bytes answerFrame(int command, const Words& words);
    static std::uint16_t wordAt(std::span<const std::uint8_t> bytes, std::size_t byteIndex);
    // Data word k (0..15) of a 36-byte frame.
    static std::uint16_t dataWord(std::span<const std::uint8_t> frame, int k);

  private:
    std::vector<Output> handleFrame(double t, const Bytes& frame);
    Bytes answerFor(double t, int command, const Words& request, bool& answers);
    void applyFaults(int command, std::vector<Output>& outputs);
    Bytes videoBlock(double t, int first, int count);
    void trackAnalogue(const Measurement& m);
    void resetAnalogue();
    void loadEeprom();
    bool storeEeprom();
    double gauss();

    ModelOptions options_;
    std::uint16_t videoMax_ = 1023;
    std::uint16_t slopeScale_ = 1024;
    Words ram_{};
    Words eeprom_{};
    Faults faults_;
    std::mt19937 rng_;
    Bytes pending_;
    double lastByteTime_ = -1.0;
    long framesReceived_ = 0;
    long bytesDiscarded_ = 0;
    bool calibrating_ = false;
    std::uint16_t anaMax_ = 0;
    std::uint16_t anaMin_ = 0;
    std::vector<std::uint16_t> lastLine_;
    double lastLineTime_ = -1.0;
    std::string eepromError_;
    std::function<void(double, const Bytes&)> frameObserver_;
    std::function<void(double, const Bytes&)> discardObserver_;
};

} // namespace korven::sim
