// The desktop back end: panels from the layout file as Qt widgets, graphs
// with QCustomPlot, serial ports on their descriptors, file dialogs with
// QFileDialog. Everything runs on the GUI thread; callbacks are delivered
// from the Qt event loop, never from inside a widget's own signal handler.
#pragma once

#include "runtime/backend.h"
#include "runtime/qt/qt_serial.h"
#include "runtime/qt/qt_serial_backend.h"

#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <vector>

class QWidget;
class QEventLoop;

namespace korven::rt::qt {

class Graph;

class QtBackend : public QObject, public SerialPortsBackend<Backend> {
    Q_OBJECT

  public:
    // Needs a QApplication. Port numbers are assigned from the serial
    // devices present now, sorted by name; mapPort() overrides single ones.
    explicit QtBackend(QObject* parent = nullptr);
    ~QtBackend() override;

    // Port n opens this device instead of the n-th one found. Call before
    // panels are loaded so that the port list shows it. `remember` false
    // keeps it from becoming the remembered adapter (a virtual sensor).
    void mapPort(int number, const QString& device, const QString& description = {},
                 bool remember = true);
    // Also lists devices matching these path patterns as they come and go.
    void watchPorts(const QStringList& patterns);
    // Remembers in this file the adapter on which a sensor last answered
    // (listed first at the next start), the folders of the operator's files
    // and the main window's place and size on each set of screens. Without
    // it, settings last as long as the back end.
    void keepSettingsIn(const QString& settingsFile);
    // Looks for added and removed devices now (otherwise every second).
    void rescanPorts();
    // The ports as the port selector lists them, numbered from 1.
    std::vector<PortEntry> ports() const;

    // For tests and screenshots: the widgets behind handles and ids.
    QWidget* panelWidget(int panel) const;
    QWidget* controlWidget(int panel, int control) const;
    Graph* graph(int panel, int control) const;
    // Callbacks still queued for delivery.
    int pendingEvents() const { return pendingEvents_; }

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
    void portAnswered(int port) override;
    FileDialogResult fileSelectPopup(const FileDialogRequest& request) override;
    std::string documentsDir() override;
    std::string setting(const std::string& key) override;
    void setSetting(const std::string& key, const std::string& value) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    SerialPorts& serialPorts() override { return *serial_; }

  private:
    struct Control;
    struct Panel;

    Panel* findPanel(int handle) const;
    Control* findControl(int panel, int control) const;
    void bindControl(Panel& panel, Control& control);
    void watchMouse(QWidget* widget, int panel, int control);
    // Queues a control event; it runs from the event loop.
    void postCtrlEvent(int panel, int control, int event);
    void postPanelEvent(int panel, int event);
    void deliverCtrlEvent(int panel, int control, int event);
    void fillPortList(Control& control);
    // Every port selector: shows the list again, or is chosen again (the
    // operator's way to reconnect) when it shows `number`.
    void refreshPortLists();
    void choosePortAgain(int number);
    // The operator's choice of "Add network port...": asks for its address
    // and, once it is well formed, lists the port and chooses it.
    void askNetworkPort(int panel, int control);
    void applyToggleText(Control& control);
    void placePanel(Panel& panel);
    void rememberPlace(const Panel& panel);
    std::string windowKey(const Panel& panel) const;
    static void fitLabel(QWidget* widget);

    std::map<int, std::unique_ptr<Panel>> panels_;
    int nextPanelHandle_ = 1;
    int mainPanel_ = 0; // the first panel loaded
    int nextRuntimeControl_ = 1000;
    int pendingEvents_ = 0;
    int dispatchDepth_ = 0;          // > 0 while a callback runs
    int portChoiceAfterCommand_ = 0; // a lost port to choose again at depth 0
    QEventLoop* loop_ = nullptr;
    bool quitRequested_ = false;
    int quitCode_ = 0;
    std::unique_ptr<SerialPorts> serial_;
    QString settingsFile_;
    std::map<std::string, std::string> sessionSettings_; // without a settings file
};

} // namespace korven::rt::qt
