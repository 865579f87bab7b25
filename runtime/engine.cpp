// The engine functions: convert the caller's arguments and forward to the
// installed back end. Without a back end every call fails softly (a
// negative code, 0 or nothing) instead of crashing.
#include "runtime/backend.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

using korven::rt::Backend;
using korven::rt::CurrentBackend;
using korven::rt::Value;

namespace {

constexpr int kNoBackend = -1;
constexpr int kBadArgument = -13;
constexpr int kTextBufferSize = 1024; // GetCtrlVal / GetCtrlAttribute text buffers

// Copies text into a caller's buffer of `size` bytes, cut to fit.
void CopyText(const std::string& text, char* out, std::size_t size) {
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

// The low 32 bits of a whole number, as the two's-complement int.
int Low32(std::int64_t v) {
    return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(v)));
}

// Reads element `index` of an array of the given run-time data type.
void ElementAsDouble(const void* array, int dataType, std::size_t index, double& out) {
    switch (dataType) {
    case VAL_DOUBLE:
        out = static_cast<const double*>(array)[index];
        return;
    case VAL_FLOAT:
        out = static_cast<const float*>(array)[index];
        return;
    case VAL_INTEGER:
        out = static_cast<const int*>(array)[index];
        return;
    case VAL_UNSIGNED_INTEGER:
        out = static_cast<const unsigned int*>(array)[index];
        return;
    case VAL_SHORT_INTEGER:
        out = static_cast<const short*>(array)[index];
        return;
    case VAL_UNSIGNED_SHORT_INTEGER:
        out = static_cast<const unsigned short*>(array)[index];
        return;
    case VAL_CHAR:
        out = static_cast<const signed char*>(array)[index];
        return;
    case VAL_UNSIGNED_CHAR:
        out = static_cast<const unsigned char*>(array)[index];
        return;
    default:
        out = 0.0;
        return;
    }
}

bool KnownNumericType(int dataType) {
    switch (dataType) {
    case VAL_DOUBLE:
    case VAL_FLOAT:
    case VAL_INTEGER:
    case VAL_UNSIGNED_INTEGER:
    case VAL_SHORT_INTEGER:
    case VAL_UNSIGNED_SHORT_INTEGER:
    case VAL_CHAR:
    case VAL_UNSIGNED_CHAR:
        return true;
    default:
        return false;
    }
}

// Converts `count` elements, taking every (skip+1)-th from `start`.
bool ToDoubles(const void* array, int dataType, int count, int start, int skip,
               std::vector<double>& out) {
    out.clear();
    if (count < 0 || start < 0 || skip < 0 || !KnownNumericType(dataType)) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    if (array == nullptr) {
        return false;
    }
    out.resize(static_cast<std::size_t>(count));
    const std::size_t stride = static_cast<std::size_t>(skip) + 1;
    for (std::size_t k = 0; k < out.size(); ++k) {
        ElementAsDouble(array, dataType, static_cast<std::size_t>(start) + k * stride, out[k]);
    }
    return true;
}

} // namespace

// ---- Utility --------------------------------------------------------------

int InitCVIRTE(void* /*hInstance*/, char** /*argv*/, void* /*reserved*/) {
    Backend* b = CurrentBackend();
    return b ? b->initRuntime() : 0;
}

double Timer() {
    Backend* b = CurrentBackend();
    return b ? b->timer() : 0.0;
}

void Delay(double seconds) {
    if (Backend* b = CurrentBackend()) {
        b->delay(seconds);
    }
}

int GetProjectDir(char* directory) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kNoBackend;
    }
    if (directory == nullptr) {
        return kBadArgument;
    }
    CopyText(b->projectDir(), directory, MAX_PATHNAME_LEN);
    return 0;
}

// ---- Panels and controls --------------------------------------------------

int LoadPanel(int parentPanel, const char* fileName, int panelResourceId) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kNoBackend;
    }
    if (fileName == nullptr) {
        return kBadArgument;
    }
    return b->loadPanel(parentPanel, fileName, panelResourceId);
}

int DisplayPanel(int panel) {
    Backend* b = CurrentBackend();
    return b ? b->displayPanel(panel) : kNoBackend;
}

int HidePanel(int panel) {
    Backend* b = CurrentBackend();
    return b ? b->hidePanel(panel) : kNoBackend;
}

int DiscardPanel(int panel) {
    Backend* b = CurrentBackend();
    return b ? b->discardPanel(panel) : kNoBackend;
}

namespace {
int SetValue(int panel, int control, const Value& v) {
    Backend* b = CurrentBackend();
    return b ? b->setCtrlVal(panel, control, v) : kNoBackend;
}

int GetValue(int panel, int control, Value& v) {
    Backend* b = CurrentBackend();
    return b ? b->getCtrlVal(panel, control, v) : kNoBackend;
}

int SetAttr(int panel, int control, int attribute, const Value& v) {
    Backend* b = CurrentBackend();
    return b ? b->setCtrlAttribute(panel, control, attribute, v) : kNoBackend;
}

int GetAttr(int panel, int control, int attribute, Value& v) {
    Backend* b = CurrentBackend();
    return b ? b->getCtrlAttribute(panel, control, attribute, v) : kNoBackend;
}
} // namespace

int SetCtrlVal(int panel, int control, int value) {
    return SetValue(panel, control, Value::ofInt(value));
}

int SetCtrlVal(int panel, int control, unsigned int value) {
    return SetValue(panel, control, Value::ofInt(static_cast<std::int64_t>(value)));
}

int SetCtrlVal(int panel, int control, double value) {
    return SetValue(panel, control, Value::ofDouble(value));
}

namespace {

struct TextObserver {
    Backend* owner = nullptr;
    int panel = 0;
    int control = 0;
    CtrlTextObserverPtr fn = nullptr;
    void* data = nullptr;
};
TextObserver gTextObserver;
OperatorMessagePtr gOperatorMessage = nullptr;

} // namespace

int SetCtrlVal(int panel, int control, const char* value) {
    if (value == nullptr) {
        return kBadArgument;
    }
    const int rc = SetValue(panel, control, Value::ofText(value));
    const TextObserver o = gTextObserver;
    if (rc >= 0 && o.fn != nullptr && o.owner == CurrentBackend() && o.panel == panel &&
        o.control == control) {
        o.fn(panel, control, value, o.data);
    }
    return rc;
}

int ObserveCtrlText(int panel, int control, CtrlTextObserverPtr fn, void* data) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kNoBackend;
    }
    gTextObserver = fn != nullptr ? TextObserver{b, panel, control, fn, data} : TextObserver{};
    return 0;
}

int InstallOperatorMessage(OperatorMessagePtr fn) {
    gOperatorMessage = fn;
    return 0;
}

void TellOperator(const char* text) {
    if (gOperatorMessage != nullptr && text != nullptr) {
        gOperatorMessage(text);
    }
}

namespace {

// How a control's value reaches each kind of out-parameter: integers keep
// their low bits, as a C cast would; text is cut to the caller's buffer.
void StoreValue(const Value& v, int* out) {
    *out = Low32(v.asInt());
}
void StoreValue(const Value& v, unsigned short* out) {
    *out = static_cast<unsigned short>(static_cast<std::uint64_t>(v.asInt()) & 0xFFFFu);
}
void StoreValue(const Value& v, unsigned int* out) {
    *out = static_cast<unsigned int>(static_cast<std::uint64_t>(v.asInt()) & 0xFFFFFFFFu);
}
void StoreValue(const Value& v, double* out) {
    *out = v.asDouble();
}
void StoreValue(const Value& v, float* out) {
    *out = static_cast<float>(v.asDouble());
}
void StoreValue(const Value& v, char* out) {
    CopyText(v.asText(), out, kTextBufferSize);
}

// Fetches a value with `get` and stores it through `out` when that worked.
template <class T, class Get> int FetchInto(T* out, Get&& get) {
    if (out == nullptr) {
        return kBadArgument;
    }
    Value v;
    const int rc = get(v);
    if (rc >= 0) {
        StoreValue(v, out);
    }
    return rc;
}

} // namespace

int GetCtrlVal(int panel, int control, int* value) {
    return FetchInto(value, [&](Value& v) { return GetValue(panel, control, v); });
}

int GetCtrlVal(int panel, int control, unsigned short* value) {
    return FetchInto(value, [&](Value& v) { return GetValue(panel, control, v); });
}

int GetCtrlVal(int panel, int control, unsigned int* value) {
    return FetchInto(value, [&](Value& v) { return GetValue(panel, control, v); });
}

int GetCtrlVal(int panel, int control, double* value) {
    return FetchInto(value, [&](Value& v) { return GetValue(panel, control, v); });
}

int GetCtrlVal(int panel, int control, float* value) {
    return FetchInto(value, [&](Value& v) { return GetValue(panel, control, v); });
}

int GetCtrlVal(int panel, int control, char* value) {
    return FetchInto(value, [&](Value& v) { return GetValue(panel, control, v); });
}

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    return SetAttr(panel, control, attribute, Value::ofInt(value));
}

int SetCtrlAttribute(int panel, int control, int attribute, double value) {
    return SetAttr(panel, control, attribute, Value::ofDouble(value));
}

int SetCtrlAttribute(int panel, int control, int attribute, const char* value) {
    if (value == nullptr) {
        return kBadArgument;
    }
    return SetAttr(panel, control, attribute, Value::ofText(value));
}

int GetCtrlAttribute(int panel, int control, int attribute, int* value) {
    return FetchInto(value, [&](Value& v) { return GetAttr(panel, control, attribute, v); });
}

int GetCtrlAttribute(int panel, int control, int attribute, double* value) {
    return FetchInto(value, [&](Value& v) { return GetAttr(panel, control, attribute, v); });
}

int GetCtrlAttribute(int panel, int control, int attribute, char* value) {
    return FetchInto(value, [&](Value& v) { return GetAttr(panel, control, attribute, v); });
}

int InstallCtrlCallback(int panel, int control, CtrlCallbackPtr fn, void* callbackData) {
    Backend* b = CurrentBackend();
    return b ? b->installCtrlCallback(panel, control, fn, callbackData) : kNoBackend;
}

int InstallPanelCallback(int panel, PanelCallbackPtr fn, void* callbackData) {
    Backend* b = CurrentBackend();
    return b ? b->installPanelCallback(panel, fn, callbackData) : kNoBackend;
}

int NewCtrl(int panel, int style, const char* label, int top, int left) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kNoBackend;
    }
    return b->newCtrl(panel, style, label ? label : "", top, left);
}

int ReplaceTextBoxLine(int panel, int control, int lineIndex, const char* text) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kNoBackend;
    }
    if (text == nullptr) {
        return kBadArgument;
    }
    return b->replaceTextBoxLine(panel, control, lineIndex, text);
}

int DisplayImageFile(int panel, int control, const char* fileName) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kNoBackend;
    }
    if (fileName == nullptr) {
        return kBadArgument;
    }
    return b->displayImageFile(panel, control, fileName);
}

// ---- Events -----------------------------------------------------------------

int RunUserInterface() {
    Backend* b = CurrentBackend();
    return b ? b->runUserInterface() : kNoBackend;
}

int QuitUserInterface(int returnCode) {
    Backend* b = CurrentBackend();
    return b ? b->quitUserInterface(returnCode) : kNoBackend;
}

int ProcessSystemEvents() {
    Backend* b = CurrentBackend();
    const int rc = b ? b->processSystemEvents() : kNoBackend;
    RunDeferredCalls();
    return rc;
}

namespace {

std::mutex gDeferredMutex;
std::vector<std::function<void()>> gDeferred;
std::function<void()> gDeferredWaker;

} // namespace

void PostDeferredCall(std::function<void()> fn) {
    std::function<void()> waker;
    {
        const std::lock_guard lock(gDeferredMutex);
        gDeferred.push_back(std::move(fn));
        waker = gDeferredWaker;
    }
    if (waker) {
        waker();
    }
}

void RunDeferredCalls() {
    std::vector<std::function<void()>> due;
    {
        const std::lock_guard lock(gDeferredMutex);
        if (gDeferred.empty()) {
            return;
        }
        due.swap(gDeferred);
    }
    // A call may process events itself and so run later posts before the
    // rest of these: each one is taken off before it runs.
    for (auto& fn : due) {
        fn();
    }
}

void SetDeferredCallWaker(std::function<void()> waker) {
    const std::lock_guard lock(gDeferredMutex);
    gDeferredWaker = std::move(waker);
}

// ---- Graphs -----------------------------------------------------------------

int PlotXY(int panel, int control, const void* xArray, const void* yArray, int numberOfPoints,
           int xDataType, int yDataType, int plotStyle, int pointStyle, int lineStyle,
           int pointFrequency, int color) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kNoBackend;
    }
    std::vector<double> x, y;
    if (!ToDoubles(xArray, xDataType, numberOfPoints, 0, 0, x) ||
        !ToDoubles(yArray, yDataType, numberOfPoints, 0, 0, y)) {
        return kBadArgument;
    }
    return b->plotXY(panel, control, x, y, plotStyle, pointStyle, lineStyle, pointFrequency, color);
}

int PlotRectangle(int panel, int control, double x1, double y1, double x2, double y2, int color,
                  int fillColor) {
    Backend* b = CurrentBackend();
    return b ? b->plotRectangle(panel, control, x1, y1, x2, y2, color, fillColor) : kNoBackend;
}

int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh) {
    Backend* b = CurrentBackend();
    return b ? b->deleteGraphPlot(panel, control, plotHandle, refresh) : kNoBackend;
}

int SetGraphCursor(int panel, int control, int cursorNumber, double x, double y) {
    Backend* b = CurrentBackend();
    return b ? b->setGraphCursor(panel, control, cursorNumber, x, y) : kNoBackend;
}

int SetAxisScalingMode(int panel, int control, int axis, int axisScaling, double min, double max) {
    Backend* b = CurrentBackend();
    return b ? b->setAxisScalingMode(panel, control, axis, axisScaling, min, max) : kNoBackend;
}

int SetTraceAttribute(int panel, int control, int traceNumber, int attribute, int value) {
    Backend* b = CurrentBackend();
    return b ? b->setTraceAttribute(panel, control, traceNumber, attribute, value) : kNoBackend;
}

int PlotStripChart(int panel, int control, const void* array, int numberOfPoints, int startingIndex,
                   int skipCount, int dataType) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kNoBackend;
    }
    std::vector<double> values;
    if (!ToDoubles(array, dataType, numberOfPoints, startingIndex, skipCount, values)) {
        return kBadArgument;
    }
    return b->plotStripChart(panel, control, values);
}

// ---- Serial -----------------------------------------------------------------

int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kComUnknownSystemError;
    }
    korven::rt::ComSettings s;
    s.deviceName = deviceName ? deviceName : "";
    s.baudRate = baudRate;
    s.parity = parity;
    s.dataBits = dataBits;
    s.stopBits = stopBits;
    s.inputQueueSize = inputQueueSize;
    s.outputQueueSize = outputQueueSize;
    return b->openCom(port, s);
}

int CloseCom(int port) {
    Backend* b = CurrentBackend();
    return b ? b->closeCom(port) : kComUnknownSystemError;
}

int SetComTime(int port, double timeoutSeconds) {
    Backend* b = CurrentBackend();
    return b ? b->setComTime(port, timeoutSeconds) : kComUnknownSystemError;
}

int SetCTSMode(int port, int mode) {
    Backend* b = CurrentBackend();
    return b ? b->setCTSMode(port, mode) : kComUnknownSystemError;
}

int InstallComCallback(int port, int eventMask, int notifyCount, int eventCharacter,
                       ComCallbackPtr fn, void* callbackData) {
    Backend* b = CurrentBackend();
    return b ? b->installComCallback(port, eventMask, notifyCount, eventCharacter, fn, callbackData)
             : kComUnknownSystemError;
}

int FlushInQ(int port) {
    Backend* b = CurrentBackend();
    return b ? b->flushInQ(port) : kComUnknownSystemError;
}

int FlushOutQ(int port) {
    Backend* b = CurrentBackend();
    return b ? b->flushOutQ(port) : kComUnknownSystemError;
}

int ComWrt(int port, const char* buffer, int count) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kComUnknownSystemError;
    }
    if (count < 0 || (buffer == nullptr && count > 0)) {
        return kComInvalidParameter;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer);
    return b->comWrt(port, std::span<const std::uint8_t>(bytes, static_cast<std::size_t>(count)));
}

int ComRd(int port, char* buffer, int count) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kComUnknownSystemError;
    }
    if (count < 0 || (buffer == nullptr && count > 0)) {
        return kComInvalidParameter;
    }
    auto* bytes = reinterpret_cast<std::uint8_t*>(buffer);
    return b->comRd(port, std::span<std::uint8_t>(bytes, static_cast<std::size_t>(count)));
}

int GetInQLen(int port) {
    Backend* b = CurrentBackend();
    return b ? b->getInQLen(port) : kComUnknownSystemError;
}

int ComPortAnswered(int port) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kComUnknownSystemError;
    }
    b->portAnswered(port);
    return 0;
}

// ---- Files --------------------------------------------------------------------

int FileSelectPopup(const char* defaultDirectory, const char* defaultFileSpec,
                    const char* fileTypeList, const char* title, int buttonLabel,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, char* pathName) {
    std::string chosen;
    const int status = FileSelectPopup(defaultDirectory, defaultFileSpec, fileTypeList, title,
                                       buttonLabel, restrictDirectory, restrictExtension,
                                       allowCancel, allowMakeDirectory, chosen);
    if (status > 0 && pathName != nullptr) {
        // A cut path would name another file.
        if (chosen.size() >= static_cast<std::size_t>(MAX_PATHNAME_LEN)) {
            return kBadArgument;
        }
        CopyText(chosen, pathName, MAX_PATHNAME_LEN);
    }
    return status;
}

int FileSelectPopup(const char* defaultDirectory, const char* defaultFileSpec,
                    const char* fileTypeList, const char* title, int buttonLabel,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, std::string& pathName) {
    Backend* b = CurrentBackend();
    if (!b) {
        return kNoBackend;
    }
    korven::rt::FileDialogRequest r;
    r.defaultDirectory = defaultDirectory ? defaultDirectory : "";
    r.defaultFileSpec = defaultFileSpec ? defaultFileSpec : "";
    r.fileTypeList = fileTypeList ? fileTypeList : "";
    r.title = title ? title : "";
    r.buttonLabel = buttonLabel;
    r.restrictDirectory = restrictDirectory != 0;
    r.restrictExtension = restrictExtension != 0;
    r.allowCancel = allowCancel != 0;
    r.allowMakeDirectory = allowMakeDirectory != 0;
    const korven::rt::FileDialogResult result = b->fileSelectPopup(r);
    if (result.status > 0) {
        pathName = result.path;
    }
    return result.status;
}

// ---- Folders of the operator's files ------------------------------------------

namespace {

std::string FolderKey(const char* kind) {
    return std::string("folders/") + (kind ? kind : "");
}

} // namespace

std::string FileFolder(const char* kind) {
    Backend* b = CurrentBackend();
    if (!b) {
        return {};
    }
    std::error_code ec;
    const std::string last = b->setting(FolderKey(kind));
    if (!last.empty() && std::filesystem::is_directory(std::filesystem::path(last), ec)) {
        return last;
    }
    return b->documentsDir();
}

void NoteFileFolder(const char* kind, const char* chosenPath) {
    Backend* b = CurrentBackend();
    if (!b || chosenPath == nullptr || *chosenPath == '\0') {
        return;
    }
    const std::filesystem::path folder = std::filesystem::path(chosenPath).parent_path();
    if (!folder.empty()) {
        b->setSetting(FolderKey(kind), folder.string());
    }
}

std::string Setting(const char* key) {
    Backend* b = CurrentBackend();
    return b && key ? b->setting(key) : std::string();
}

void SetSetting(const char* key, const char* value) {
    if (Backend* b = CurrentBackend(); b && key) {
        b->setSetting(key, value ? value : "");
    }
}
