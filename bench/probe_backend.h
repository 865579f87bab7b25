// A back end that forwards every call to another one and watches the
// program through it: frames written, answers taken in by the receive
// notification, drawing calls and status texts. The benchmarks use it to
// count and time what the program does without touching its code.
#pragma once

#include "runtime/backend.h"

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace korven::bench {

class ProbeBackend : public rt::Backend {
  public:
    explicit ProbeBackend(rt::Backend& inner);
    ~ProbeBackend() override;
    ProbeBackend(const ProbeBackend&) = delete;
    ProbeBackend& operator=(const ProbeBackend&) = delete;

    // Counts.
    long framesWritten(int command) const;
    long notifications() const { return notifications_; }
    long plots() const { return plots_; }
    long passes() const { return passes_; }
    // Monotonic time stamps of the run frames written and of the answers
    // taken in (kept only after keepStamps(true)).
    void keepStamps(bool keep) { keepStamps_ = keep; }
    const std::vector<double>& runFrameStamps() const { return runFrameStamps_; }
    const std::vector<double>& answerStamps() const { return answerStamps_; }

    // What the program last did on the line: a request written whose answer
    // frame is awaited, a block requested (video block or firmware text), or
    // a block read and no request since (where a video cycle waits for a
    // quiet line). Read from other threads to place an event in time.
    enum class LinePhase { Other, Answer, Block, AfterBlock };
    LinePhase linePhase() const { return phase_.load(std::memory_order_relaxed); }

    // Watches one control: onCtrlEvent runs at the start of each call of its
    // callback, then `callback` itself (the one the layout gave it).
    void watchControl(int panel, int control, CtrlCallbackPtr callback);
    std::function<void(int panel, int control, int event)> onCtrlEvent;

    // Called with each text shown in the status control (panel, control).
    std::function<void(int panel, int control, const std::string& text)> onText;
    // Called after each 36-byte frame written, with its command code.
    std::function<void(int command)> onFrame;
    // Called when a panel is displayed.
    std::function<void(int panel)> onDisplay;
    std::function<void(int port)> onOpen;

    // ---- Backend ----
    int initRuntime() override { return inner_.initRuntime(); }
    double timer() override { return inner_.timer(); }
    void delay(double seconds) override { inner_.delay(seconds); }
    std::string projectDir() override { return inner_.projectDir(); }
    int loadPanel(int parentPanel, const std::string& fileName, int resourceId) override {
        return inner_.loadPanel(parentPanel, fileName, resourceId);
    }
    int displayPanel(int panel) override;
    int hidePanel(int panel) override { return inner_.hidePanel(panel); }
    int discardPanel(int panel) override { return inner_.discardPanel(panel); }
    int setCtrlVal(int panel, int control, const rt::Value& value) override;
    int getCtrlVal(int panel, int control, rt::Value& value) override {
        return inner_.getCtrlVal(panel, control, value);
    }
    int setCtrlAttribute(int panel, int control, int attribute, const rt::Value& value) override {
        return inner_.setCtrlAttribute(panel, control, attribute, value);
    }
    int getCtrlAttribute(int panel, int control, int attribute, rt::Value& value) override {
        return inner_.getCtrlAttribute(panel, control, attribute, value);
    }
    int installCtrlCallback(int panel, int control, CtrlCallbackPtr fn, void* data) override {
        return inner_.installCtrlCallback(panel, control, fn, data);
    }
    int installPanelCallback(int panel, PanelCallbackPtr fn, void* data) override {
        return inner_.installPanelCallback(panel, fn, data);
    }
    int newCtrl(int panel, int style, const std::string& label, int top, int left) override {
        return inner_.newCtrl(panel, style, label, top, left);
    }
    int replaceTextBoxLine(int panel, int control, int line, const std::string& text) override {
        return inner_.replaceTextBoxLine(panel, control, line, text);
    }
    int displayImageFile(int panel, int control, const std::string& fileName) override {
        return inner_.displayImageFile(panel, control, fileName);
    }
    int runUserInterface() override { return inner_.runUserInterface(); }
    int quitUserInterface(int code) override { return inner_.quitUserInterface(code); }
    int processSystemEvents() override {
        ++passes_;
        return inner_.processSystemEvents();
    }
    int plotXY(int panel, int control, std::span<const double> x, std::span<const double> y,
               int plotStyle, int pointStyle, int lineStyle, int pointFrequency,
               int color) override {
        ++plots_;
        return inner_.plotXY(panel, control, x, y, plotStyle, pointStyle, lineStyle, pointFrequency,
                             color);
    }
    int plotRectangle(int panel, int control, double x1, double y1, double x2, double y2, int color,
                      int fillColor) override {
        return inner_.plotRectangle(panel, control, x1, y1, x2, y2, color, fillColor);
    }
    int deleteGraphPlot(int panel, int control, int plotHandle, int refresh) override {
        return inner_.deleteGraphPlot(panel, control, plotHandle, refresh);
    }
    int setGraphCursor(int panel, int control, int cursor, double x, double y) override {
        return inner_.setGraphCursor(panel, control, cursor, x, y);
    }
    int setAxisScalingMode(int panel, int control, int axis, int mode, double min,
                           double max) override {
        return inner_.setAxisScalingMode(panel, control, axis, mode, min, max);
    }
    int setTraceAttribute(int panel, int control, int trace, int attribute, int value) override {
        return inner_.setTraceAttribute(panel, control, trace, attribute, value);
    }
    int plotStripChart(int panel, int control, std::span<const double> values) override {
        ++plots_;
        return inner_.plotStripChart(panel, control, values);
    }
    int openCom(int port, const rt::ComSettings& settings) override;
    int closeCom(int port) override { return inner_.closeCom(port); }
    int setComTime(int port, double seconds) override { return inner_.setComTime(port, seconds); }
    int setCTSMode(int port, int mode) override { return inner_.setCTSMode(port, mode); }
    int installComCallback(int port, int eventMask, int notifyCount, int eventChar,
                           ComCallbackPtr fn, void* data) override;
    int flushInQ(int port) override { return inner_.flushInQ(port); }
    int flushOutQ(int port) override { return inner_.flushOutQ(port); }
    int comWrt(int port, std::span<const std::uint8_t> bytes) override;
    int comRd(int port, std::span<std::uint8_t> buffer) override;
    int getInQLen(int port) override { return inner_.getInQLen(port); }
    rt::FileDialogResult fileSelectPopup(const rt::FileDialogRequest& request) override {
        return inner_.fileSelectPopup(request);
    }

  private:
    static void Notification(int port, int eventMask, void* data);
    static int ControlEvent(int panel, int control, int event, void* data, int eventData1,
                            int eventData2);

    rt::Backend& inner_;
    std::map<int, long> frames_;
    std::map<int, ComCallbackPtr> callbacks_;                // the program's notification, by port
    std::map<std::pair<int, int>, CtrlCallbackPtr> watched_; // by panel and control
    std::atomic<LinePhase> phase_{LinePhase::Other};
    long notifications_ = 0;
    long plots_ = 0;
    long passes_ = 0;
    bool keepStamps_ = false;
    std::vector<double> runFrameStamps_;
    std::vector<double> answerStamps_;
};

} // namespace korven::bench
