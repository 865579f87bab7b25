// The headless back end: panels in memory built from the layout file,
// graphs recorded as display lists, a virtual clock, and serial lines to
// in-process peers with byte-accurate line timing. Tests drive the program
// through it without real time, real windows or a real port.
#pragma once

#include "runtime/backend.h"
#include "runtime/layout.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace korven::rt::headless {

// ---- Graph display lists ------------------------------------------------
struct PlotItem {
    enum class Kind { XY, Rectangle };
    Kind kind = Kind::XY;
    int handle = 0;
    // XY
    std::vector<double> x, y;
    int plotStyle = 0, pointStyle = 0, lineStyle = 0, pointFrequency = 1;
    int color = 0;
    // Rectangle
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    int fillColor = 0;
};

struct AxisState {
    int mode = VAL_AUTOSCALE;
    double min = 0.0, max = 0.0;
    int setCount = 0; // how often SetAxisScalingMode touched this axis
};

struct CursorState {
    bool placed = false;
    double x = 0.0, y = 0.0;
};

struct GraphState {
    std::vector<PlotItem> plots; // current display list, in drawing order
    CursorState cursors[3];      // cursors 1..3 at index 0..2
    AxisState xAxis, yAxis;
    int deleteCalls = 0;
    int lastDeleteRefresh = -1;
    int nextHandle = 1;
    // strip chart
    std::map<int, int> traceColors;         // trace number (1-based) -> colour
    std::vector<double> lastStripData;      // values of the last PlotStripChart call
    std::vector<std::deque<double>> traces; // per trace, at most points-per-screen values
    int stripCalls = 0;
};

struct ControlState {
    int id = 0;
    int parentId = 0;
    std::string name;
    CtrlKind kind = CtrlKind::Container;
    ValueType valueType = ValueType::None;
    Value value;
    bool hasRange = false;
    double minimum = 0.0, maximum = 0.0;
    bool dimmed = false;
    bool visible = true;
    std::string label;
    std::string onText, offText;
    std::vector<std::string> items;
    int valueOffset = 0;
    std::vector<std::string> lines;  // text box
    std::string imageFile;           // picture
    std::map<int, Value> attributes; // every attribute set, by number
    CtrlCallbackPtr callback = nullptr;
    void* callbackData = nullptr;
    bool createdAtRunTime = false; // NewCtrl
    int createOrder = 0;
    GraphState graph;
    Rect geometry;         // relative to the panel; ATTR_LEFT / ATTR_TOP move it
    bool readOnly = false; // indicator rather than entry
};

struct PanelState {
    int handle = 0;
    int resourceId = 0;
    std::string name;
    std::string title;
    bool visible = false;
    PanelCallbackPtr callback = nullptr;
    void* callbackData = nullptr;
    std::map<int, ControlState> controls;
};

// ---- Serial peers -------------------------------------------------------
// The peer's side of a line: what it can do when bytes arrive.
class PeerLink {
  public:
    virtual ~PeerLink() = default;
    virtual double now() const = 0;
    virtual double byteTime() const = 0;
    // Puts bytes on the line towards the program. The first byte starts at
    // startTime (or when the line is free, if later); each byte takes
    // byteTime() to arrive.
    virtual void send(double startTime, std::span<const std::uint8_t> bytes) = 0;
};

class SerialPeer {
  public:
    virtual ~SerialPeer() = default;
    // Bytes from the program, delivered when the last of them has fully
    // arrived (arrivalTime). Bytes may come in pieces of any size.
    virtual void onReceive(double arrivalTime, std::span<const std::uint8_t> bytes,
                           PeerLink& link) = 0;
    virtual void onHostOpen(double /*time*/) {}
    virtual void onHostClose(double /*time*/) {}
};

// A peer that cuts the incoming bytes into 36-byte command frames and hands
// each to a handler; the default handler stays silent.
class ScriptedPeer : public SerialPeer {
  public:
    using Handler = std::function<void(const std::vector<std::uint8_t>& frame, double frameEnd,
                                       PeerLink& link)>;
    explicit ScriptedPeer(Handler handler = {});
    void setHandler(Handler handler);
    void onReceive(double arrivalTime, std::span<const std::uint8_t> bytes,
                   PeerLink& link) override;
    void onHostClose(double time) override;
    const std::vector<std::vector<std::uint8_t>>& frames() const { return frames_; }

    // A 36-byte answer frame: sync word, command echo and 16 data words,
    // each big-endian.
    static std::vector<std::uint8_t> answer(int syncWord, int echo,
                                            const std::vector<std::uint16_t>& words);
    static int commandOf(const std::vector<std::uint8_t>& frame); // word 1
    static std::uint16_t wordOf(const std::vector<std::uint8_t>& frame, int dataWord);

  private:
    Handler handler_;
    std::vector<std::uint8_t> pending_;
    std::vector<std::vector<std::uint8_t>> frames_;
};

// What the program wrote on a port, one entry per ComWrt call.
struct HostWrite {
    double time = 0.0; // virtual time of the ComWrt call
    std::vector<std::uint8_t> bytes;
};

// One call of a port's receive notification.
struct NotificationCall {
    double time = 0.0;
    int events = 0; // LWRS_* bits, OR-ed
};

struct HeadlessOptions {
    double passStep = 0.001;        // clock advance per ProcessSystemEvents pass
    double timerTick = 0.00005;     // clock advance per Timer() call (busy waiting costs time)
    double byteTime = 10.0 / 19200; // 8N1 at 19200 baud; 0 = instant line
    std::string projectDir = ".";   // GetProjectDir and relative layout paths
    std::string documentsDir;       // the user's documents folder ("" = none)
};

class HeadlessBackend : public Backend {
  public:
    explicit HeadlessBackend(HeadlessOptions options = {});
    ~HeadlessBackend() override;

    HeadlessOptions& options() { return options_; }

    // ---- virtual clock ----
    double now() const { return now_; }
    // Moves the clock forward, delivering line bytes; runs no callbacks.
    void advance(double seconds);
    int passes() const { return passes_; } // ProcessSystemEvents calls so far

    // ---- user actions and scheduling ----
    // Runs action inside the first ProcessSystemEvents pass (or event-loop
    // pass) at or after virtual time t.
    void at(double t, std::function<void()> action);
    void after(double dt, std::function<void()> action) { at(now_ + dt, std::move(action)); }
    // Calls the control's callback now with the event; returns its result
    // (or 0 when the control has no callback).
    int fire(int panel, int control, int event, int eventData1 = 0, int eventData2 = 0);
    int firePanel(int panel, int event, int eventData1 = 0, int eventData2 = 0);
    // The operator changes a value: stores it (coerced like SetCtrlVal), then
    // EVENT_VAL_CHANGED, then EVENT_COMMIT.
    // Like a real operator, operate/click/pressKey do nothing on a control
    // that is dimmed or hidden (itself or through a container); they return
    // false then. fire() reaches any control.
    bool operate(int panel, int control, const Value& value);
    // Mouse click on a button: EVENT_LEFT_CLICK then EVENT_COMMIT. A click
    // on a toggle, check box or radio button flips its value and reports it
    // with EVENT_VAL_CHANGED before the commit, as the Qt back end does.
    bool click(int panel, int control);
    // Keyboard operation of a button: the events of a click without
    // EVENT_LEFT_CLICK.
    bool pressKey(int panel, int control);

    // ---- panels ----
    // Panel handle of a loaded resource, or -1.
    int panelHandle(int resourceId) const;
    PanelState* panel(int handle);
    ControlState& ctrl(int panel, int control); // aborts if missing
    bool hasControl(int panel, int control) const;
    bool panelVisible(int panel) const;
    // Effective state: the control or one of its containers dimmed/hidden.
    bool isDimmed(int panel, int control) const;
    bool isVisible(int panel, int control) const;
    std::string text(int panel, int control) const; // value as text
    std::int64_t intValue(int panel, int control) const;
    double doubleValue(int panel, int control) const;
    GraphState& graph(int panel, int control) { return ctrl(panel, control).graph; }
    // Controls made with NewCtrl, in creation order.
    std::vector<const ControlState*> runtimeControls(int panel) const;
    // Makes the next LoadPanel of this resource fail (negative handle).
    void failLoadPanel(int resourceId) { failResources_.push_back(resourceId); }
    void failInit(bool fail = true) { failInit_ = fail; }

    // ---- event loop ----
    bool quitRequested() const { return quit_; }
    int quitCode() const { return quitCode_; }
    // RunUserInterface returns by itself when nothing is scheduled and no
    // line traffic is pending, or when this much virtual time has passed.
    void setEventLoopLimit(double seconds) { loopLimit_ = seconds; }

    // ---- serial ports ----
    void attachPeer(int port, SerialPeer* peer); // not owned; nullptr detaches
    // Makes OpenComConfig on this port fail with the code (0 = no override).
    void setOpenError(int port, int code);
    bool portOpen(int port) const;
    const std::vector<HostWrite>& writes(int port) const;
    void clearWrites(int port);
    // Bytes the program has not read yet (arrived so far).
    int inputQueueLength(int port);
    // Puts bytes on the line towards the program as if the peer sent them.
    void injectToHost(int port, double startTime, std::span<const std::uint8_t> bytes);
    bool notificationInstalled(int port) const; // non-zero mask and a function
    int notificationMask(int port) const;
    int notificationCount(int port) const;
    // Calls of the notification that reported LWRS_RECEIVE (answers taken
    // in); notifications() lists every call with all its events.
    int notificationCalls(int port) const;
    const std::vector<NotificationCall>& notifications(int port) const;
    double comTimeout(int port) const;
    ComSettings comSettings(int port) const;
    int openCount(int port) const;
    int closeCount(int port) const;

    // Ports on which the program reported that the sensor answered, in order.
    const std::vector<int>& answeredPorts() const { return answered_; }

    // ---- file dialogs and settings ----
    void queueFileDialog(FileDialogResult result);
    const std::vector<FileDialogRequest>& fileDialogs() const { return dialogs_; }
    // Settings kept in memory for the life of the back end.
    std::map<std::string, std::string>& settings() { return settings_; }

    // ---- Backend ----
    int initRuntime() override;
    double timer() override;
    void delay(double seconds) override;
    std::string projectDir() override;
    int loadPanel(int parentPanel, const std::string& fileName, int resourceId) override;
    int displayPanel(int panel) override;
    int hidePanel(int panel) override;
    int discardPanel(int panel) override;
    int setCtrlVal(int panel, int control, const Value& value) override;
    int getCtrlVal(int panel, int control, Value& value) override;
    int setCtrlAttribute(int panel, int control, int attribute, const Value& value) override;
    int getCtrlAttribute(int panel, int control, int attribute, Value& value) override;
    int installCtrlCallback(int panel, int control, CtrlCallbackPtr fn, void* data) override;
    int installPanelCallback(int panel, PanelCallbackPtr fn, void* data) override;
    int newCtrl(int panel, int style, const std::string& label, int top, int left) override;
    int replaceTextBoxLine(int panel, int control, int line, const std::string& text) override;
    int displayImageFile(int panel, int control, const std::string& fileName) override;
    int runUserInterface() override;
    int quitUserInterface(int code) override;
    int processSystemEvents() override;
    int plotXY(int panel, int control, std::span<const double> x, std::span<const double> y,
               int plotStyle, int pointStyle, int lineStyle, int pointFrequency,
               int color) override;
    int plotRectangle(int panel, int control, double x1, double y1, double x2, double y2, int color,
                      int fillColor) override;
    int deleteGraphPlot(int panel, int control, int plotHandle, int refresh) override;
    int setGraphCursor(int panel, int control, int cursor, double x, double y) override;
    int setAxisScalingMode(int panel, int control, int axis, int mode, double min,
                           double max) override;
    int setTraceAttribute(int panel, int control, int trace, int attribute, int value) override;
    int plotStripChart(int panel, int control, std::span<const double> values) override;
    int openCom(int port, const ComSettings& settings) override;
    int closeCom(int port) override;
    int setComTime(int port, double seconds) override;
    int setCTSMode(int port, int mode) override;
    int installComCallback(int port, int eventMask, int notifyCount, int eventChar,
                           ComCallbackPtr fn, void* data) override;
    int flushInQ(int port) override;
    int flushOutQ(int port) override;
    int comWrt(int port, std::span<const std::uint8_t> bytes) override;
    int comRd(int port, std::span<std::uint8_t> buffer) override;
    int getInQLen(int port) override;
    void portAnswered(int port) override { answered_.push_back(port); }
    FileDialogResult fileSelectPopup(const FileDialogRequest& request) override;
    std::string documentsDir() override { return options_.documentsDir; }
    std::string setting(const std::string& key) override;
    void setSetting(const std::string& key, const std::string& value) override {
        settings_[key] = value;
    }

    struct Impl; // internal state (ports, panels, schedule)

  private:
    std::unique_ptr<Impl> impl_;
    HeadlessOptions options_;
    double now_ = 0.0;
    int passes_ = 0;
    bool quit_ = false;
    int quitCode_ = 0;
    double loopLimit_ = 3600.0;
    bool failInit_ = false;
    std::vector<int> failResources_;
    std::vector<FileDialogRequest> dialogs_;
    std::map<std::string, std::string> settings_;
    std::vector<int> answered_;
};

// Installs a HeadlessBackend for the lifetime of the object; restores the
// previous back end afterwards.
class ScopedHeadless {
  public:
    explicit ScopedHeadless(HeadlessOptions options = {});
    ~ScopedHeadless();
    HeadlessBackend& bed() { return bed_; }

  private:
    HeadlessBackend bed_;
    Backend* previous_ = nullptr;
};

} // namespace korven::rt::headless
