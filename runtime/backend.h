// The interface a run-time back end implements. The free functions of
// engine.h convert their arguments and forward to the back end installed
// with SetBackend(). There is exactly one back end at a time.
#pragma once

#include "runtime/engine.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korven::rt {

// A control value or attribute value in one of the three shapes the
// program passes: whole number, floating point, or text.
struct Value {
    enum class Kind { Int, Double, Text };
    Kind kind = Kind::Int;
    std::int64_t i = 0;
    double d = 0.0;
    std::string s;

    static Value ofInt(std::int64_t v) { return Value{Kind::Int, v, 0.0, {}}; }
    static Value ofDouble(double v) { return Value{Kind::Double, 0, v, {}}; }
    static Value ofText(std::string v) { return Value{Kind::Text, 0, 0.0, std::move(v)}; }

    // Numeric view; text reads as 0.
    double asDouble() const;
    // Integer view: doubles are truncated toward zero (saturating), text reads as 0.
    std::int64_t asInt() const;
    std::string asText() const;
};

struct FileDialogRequest {
    std::string defaultDirectory;
    std::string defaultFileSpec;
    std::string fileTypeList;
    std::string title;
    int buttonLabel = VAL_OK_BUTTON;
    bool restrictDirectory = false;
    bool restrictExtension = false;
    bool allowCancel = true;
    bool allowMakeDirectory = true;
};

struct FileDialogResult {
    int status = VAL_NO_FILE_SELECTED; // >0 chosen, 0 cancelled, <0 error
    std::string path;
};

struct ComSettings {
    std::string deviceName;
    long baudRate = 19200;
    int parity = 0;
    int dataBits = 8;
    int stopBits = 1;
    int inputQueueSize = 4096;
    int outputQueueSize = 4096;
};

class Backend {
  public:
    virtual ~Backend() = default;

    // utility
    virtual int initRuntime() { return 1; }
    virtual double timer() = 0;
    virtual void delay(double seconds) = 0;
    virtual std::string projectDir() = 0;

    // panels and controls
    virtual int loadPanel(int parentPanel, const std::string& fileName, int resourceId) = 0;
    virtual int displayPanel(int panel) = 0;
    virtual int hidePanel(int panel) = 0;
    virtual int discardPanel(int panel) = 0;
    virtual int setCtrlVal(int panel, int control, const Value& value) = 0;
    virtual int getCtrlVal(int panel, int control, Value& value) = 0;
    virtual int setCtrlAttribute(int panel, int control, int attribute, const Value& value) = 0;
    virtual int getCtrlAttribute(int panel, int control, int attribute, Value& value) = 0;
    virtual int installCtrlCallback(int panel, int control, CtrlCallbackPtr fn, void* data) = 0;
    virtual int installPanelCallback(int panel, PanelCallbackPtr fn, void* data) = 0;
    virtual int newCtrl(int panel, int style, const std::string& label, int top, int left) = 0;
    virtual int replaceTextBoxLine(int panel, int control, int line, const std::string& text) = 0;
    virtual int displayImageFile(int panel, int control, const std::string& fileName) = 0;

    // events
    virtual int runUserInterface() = 0;
    virtual int quitUserInterface(int code) = 0;
    virtual int processSystemEvents() = 0;

    // graphs: arrays are already converted to doubles
    virtual int plotXY(int panel, int control, std::span<const double> x, std::span<const double> y,
                       int plotStyle, int pointStyle, int lineStyle, int pointFrequency,
                       int color) = 0;
    virtual int plotRectangle(int panel, int control, double x1, double y1, double x2, double y2,
                              int color, int fillColor) = 0;
    virtual int deleteGraphPlot(int panel, int control, int plotHandle, int refresh) = 0;
    virtual int setGraphCursor(int panel, int control, int cursor, double x, double y) = 0;
    virtual int setAxisScalingMode(int panel, int control, int axis, int mode, double min,
                                   double max) = 0;
    virtual int setTraceAttribute(int panel, int control, int trace, int attribute, int value) = 0;
    virtual int plotStripChart(int panel, int control, std::span<const double> values) = 0;

    // serial
    virtual int openCom(int port, const ComSettings& settings) = 0;
    virtual int closeCom(int port) = 0;
    virtual int setComTime(int port, double seconds) = 0;
    virtual int setCTSMode(int port, int mode) = 0;
    virtual int installComCallback(int port, int eventMask, int notifyCount, int eventChar,
                                   ComCallbackPtr fn, void* data) = 0;
    virtual int flushInQ(int port) = 0;
    virtual int flushOutQ(int port) = 0;
    virtual int comWrt(int port, std::span<const std::uint8_t> bytes) = 0;
    virtual int comRd(int port, std::span<std::uint8_t> buffer) = 0;
    virtual int getInQLen(int port) = 0;
    // The sensor answered on the port (see ComPortAnswered).
    virtual void portAnswered(int /*port*/) {}

    // files
    virtual FileDialogResult fileSelectPopup(const FileDialogRequest& request) = 0;
    // The user's documents folder (empty when there is none).
    virtual std::string documentsDir() { return {}; }
    // A setting kept for the next run where the back end can; "" when unset.
    virtual std::string setting(const std::string& /*key*/) { return {}; }
    virtual void setSetting(const std::string& /*key*/, const std::string& /*value*/) {}
};

// Installs the back end used by the engine functions; returns the previous one.
Backend* SetBackend(Backend* backend);
Backend* CurrentBackend();

} // namespace korven::rt
