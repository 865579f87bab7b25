// The sensors the virtual sensor can be: their descriptions, factory
// parameter sets and hardware words.
#include "sim/sensor_model.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace korven::sim {

namespace {

Preset MakePreset(std::string name, std::string summary, std::uint16_t type, std::uint16_t pixels,
                  std::uint16_t resolution, std::uint16_t board, std::uint16_t subpixel,
                  std::uint16_t lastPixel, std::uint16_t version, std::string firmware) {
    Preset p;
    p.name = std::move(name);
    p.summary = std::move(summary);
    p.ccdtype = type;
    p.ccdmaxpixel = pixels;
    p.ccdresolution = resolution;
    p.pcbtype = board;
    p.ccdmaxpixelX8 = static_cast<std::uint16_t>(pixels * 8);
    p.ccdsubpixel = subpixel;
    p.ccdpixE = lastPixel;
    p.softversion = version;
    p.firmware = std::move(firmware);
    return p;
}

std::vector<Preset> BuildPresets() {
    std::vector<Preset> v;
    // Board 0 answers the firmware text one character per word, so its text
    // has at most 36 characters.
    v.push_back(MakePreset("type2-res350", "type 2, 1024 px, 35 mm range, board 100, 8-bit video",
                           2, 1024, 350, 100, 8192, 8192, 231,
                           "KORVEN CCD-1024 FW 2.31 (simulated)"));
    v.push_back(MakePreset("type1-res30", "type 1, 1024 px, 3.0 um resolution, board 0", 1, 1024,
                           30, 0, 1024, 1024, 210, "KORVEN CCD-1024 FW 2.10 (simulated)"));
    v.push_back(MakePreset("type1", "type 1, 1024 px, 7.8 um pitch, board 0", 1, 1024, 78, 0, 1024,
                           1024, 215, "KORVEN CCD-1024 FW 2.15 (simulated)"));
    v.push_back(MakePreset("type1-fw1001", "type 1, 1024 px, firmware 1001 (no um value)", 1, 1024,
                           78, 0, 1024, 1024, 1001, "KORVEN CCD-1024 FW 10.01 (simulated)"));
    v.push_back(MakePreset("type2-res750", "type 2, 1024 px, 75 mm range, board 0", 2, 1024, 750, 0,
                           1024, 1024, 216, "KORVEN CCD-1024 FW 2.16 (simulated)"));
    v.push_back(MakePreset("type2-res250", "type 2, 1024 px, 25.6 mm range, subpixel x2, board 200",
                           2, 1024, 250, 200, 2048, 2048, 225,
                           "KORVEN CCD-1024 SUBPIXEL X2 FW 2.25 (simulated)"));
    v.push_back(MakePreset("type2-res500",
                           "type 2, 1024 px, resolution code without a text, board 0", 2, 1024, 500,
                           0, 1024, 1024, 212, "KORVEN CCD-1024 FW 2.12 (simulated)"));
    v.push_back(MakePreset("type3", "type 3, 512 px, 25 um pitch, board 0, 8-bit video", 3, 512,
                           250, 0, 512, 512, 220, "KORVEN CCD-512 FW 2.20 (simulated)"));
    v.push_back(MakePreset("type4", "type 4, 512 px, 12.5 um pitch, board 400, 8-bit video", 4, 512,
                           125, 400, 512, 512, 221, "KORVEN CCD-512 HR FW 2.21 (simulated)"));
    v.push_back(MakePreset("type101", "type 101, 256 px, 63.5 um pitch, subpixel x2, board 200",
                           101, 256, 635, 200, 512, 512, 220,
                           "KORVEN CCD-256 FW 2.20 (simulated)"));
    v.push_back(MakePreset("type102-fw220",
                           "type 102, 768 px, subpixel x2, firmware 220, board 200", 102, 768, 635,
                           200, 1536, 1536, 220, "KORVEN CCD-768 FW 2.20 (simulated)"));
    v.push_back(MakePreset("type102-fw230",
                           "type 102, 768 px, subpixel x2, firmware 230, board 200", 102, 768, 635,
                           200, 1536, 1536, 230, "KORVEN CCD-768 FW 2.30 OFFSET (simulated)"));
    v.push_back(MakePreset("type103", "type 103, 1180 px, subpixel x2, board 400", 103, 1180, 635,
                           400, 2360, 2360, 225, "KORVEN CCD-1180 FW 2.25 (simulated)"));
    v.push_back(MakePreset("type104",
                           "type 104, 1536 px, 63.5 um pitch, slope scale 512, board 200", 104,
                           1536, 635, 200, 1536, 1536, 230, "KORVEN CCD-1536 FW 2.30 (simulated)"));
    v.push_back(MakePreset("unknown", "type 77, not in the program's table, board 0", 77, 1024, 0,
                           0, 1024, 1024, 200, "KORVEN CCD-X FW 2.00 (simulated)"));
    return v;
}

} // namespace

const std::vector<Preset>& Presets() {
    static const std::vector<Preset> presets = BuildPresets();
    return presets;
}

const Preset* FindPreset(std::string_view name) {
    for (const Preset& p : Presets()) {
        if (p.name == name) {
            return &p;
        }
    }
    return nullptr;
}

const Preset& DefaultPreset() {
    return Presets().front();
}

std::uint16_t VideoMax(const Preset& preset) {
    if (preset.softversion < 220) {
        return 1023;
    }
    switch (preset.ccdtype) {
    case 2:
        return (preset.ccdresolution == 350 || preset.ccdresolution == 250) ? 255 : 1023;
    case 3:
    case 4:
    case 101:
    case 102:
    case 103:
    case 104:
        return 255;
    default:
        return 1023;
    }
}

std::uint16_t SlopeScale(const Preset& preset) {
    return preset.ccdtype == 104 ? 512 : 1024;
}

Words FactoryParameters(const Preset& preset) {
    Words w{};
    const std::uint16_t sub = std::max<std::uint16_t>(preset.ccdsubpixel, 2);
    w[kPower] = 500;
    w[kRs232Mode] = 0;
    // Halfway up the video range, so the factory threshold finds the shadows
    // on 8-bit and 10-bit video alike.
    w[kVThd] = VideoMax(preset) == 255 ? 128 : 512;
    w[kAnaMode] = 0;
    w[kPolarity] = 1;
    w[kEMode] = 1;
    w[kEBeg] = 1;
    w[kEEnd] = sub;
    w[kTVal] = static_cast<std::uint16_t>(sub / 2);
    w[kTTol] = 100;
    w[kOpMode] = 0;
    w[kEHardware] = 1;
    w[kSlope] = SlopeScale(preset);
    w[kIntersect] = 30000;
    w[kAverage] = 0;
    w[kDeltaTol] = 10;
    return w;
}

Words HardwareWords(const Preset& preset) {
    Words w{};
    w[0] = preset.ccdtype;
    w[1] = preset.ccdmaxpixel;
    w[2] = preset.ccdresolution;
    w[3] = preset.pcbtype;
    w[4] = preset.ccdmaxpixelX8;
    w[5] = preset.ccdsubpixel;
    w[6] = 0;
    w[7] = preset.ccdpixE;
    w[8] = preset.softversion;
    return w;
}

} // namespace korven::sim
