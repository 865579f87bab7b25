// Panels and graphs of the Qt back end: events from operator actions,
// silence for values set from code, values in the control's own type,
// attributes, file dialogs; plots, cursors that survive clearing, the strip
// chart's scrolling traces, the operator's zoom and the exports; and what
// the back end costs while a loop runs: an idle pass sleeps (but not for
// long), a value set again unchanged paints nothing and a changed indicator
// paints only itself.
#include "runtime/layout.h"
#include "runtime/qt/qt_backend.h"
#include "runtime/qt/qt_graph.h"
#include "runtime/qt/qt_plot.h"

#include <qcustomplot.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string_view>
#include <tuple>
#include <vector>

using korven::rt::Value;
using korven::rt::qt::Graph;

namespace {

// Control ids of the test form (test_form.uir), one control of every kind,
// and their names there.
constexpr int kButton = 1, kToggle = 2, kRadio = 3, kCheck = 4, kSpin = 5, kFloat = 6, kRing = 7,
              kText = 8, kLabel = 9, kFrame = 10, kInner = 11, kGraph = 12, kStrip = 13,
              kPicture = 14, kDouble = 15, kOther = 16;
constexpr std::string_view kNames[] = {"",         "T_BUTTON", "T_TOGGLE", "T_RADIO", "T_CHECK",
                                       "T_SPIN",   "T_FLOAT",  "T_RING",   "T_TEXT",  "T_LABEL",
                                       "T_FRAME",  "T_INNER",  "T_GRAPH",  "T_STRIP", "T_PICTURE",
                                       "T_DOUBLE", "T_OTHER"};

using Events = std::vector<int>;

struct Call {
    int panel = 0;
    int control = 0; // 0 for the panel callback
    int event = 0;
};

// Every callback of the test form, in order.
std::vector<Call> calls;

int Record(int panel, int control, int event, void*, int, int) {
    calls.push_back(Call{panel, control, event});
    return 0;
}

int RecordPanel(int panel, int event, void*, int, int) {
    calls.push_back(Call{panel, 0, event});
    return 0;
}

const korven::rt::LayoutRegistry kTestRegistry{
    [](std::string_view name) { return name == "P1" || name == "P2" ? name[1] - '0' : -1; },
    [](std::string_view name) {
        const auto* at = std::find(std::begin(kNames) + 1, std::end(kNames), name);
        return at == std::end(kNames) ? -1 : static_cast<int>(at - std::begin(kNames));
    },
    [](std::string_view name) -> CtrlCallbackPtr { return name == "CB" ? &Record : nullptr; },
    [](std::string_view name) -> PanelCallbackPtr {
        return name == "PANEL_CB" ? &RecordPanel : nullptr;
    },
};

// Counts the paint events of the widgets it watches.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

} // namespace

// Each test function gets a fresh Qt back end with panel 1 of the test form
// loaded and shown, and an empty callback record.
class PanelTests : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<korven::rt::qt::QtBackend> qt_;
    QTemporaryDir dir_;
    int p1_ = 0;
    const korven::rt::LayoutRegistry* previous_ = nullptr;

    // Writes the test form into the test's directory and returns its path.
    std::string form() {
        const QString path = dir_.filePath(QStringLiteral("test.uir"));
        // Already there when a test loads a second panel from it.
        QFile::copy(QStringLiteral(KORVEN_SOURCE_DIR "/tests/qt/test_form.uir"), path);
        return path.toStdString();
    }
    // Saves the graph's data (.csv) or picture into the test's directory
    // and returns what was written.
    QByteArray saved(const Graph* g, const QString& name) {
        const QString path = dir_.filePath(name);
        QFile f(path);
        const bool ok =
            name.endsWith(QStringLiteral(".csv")) ? g->saveData(path) : g->savePicture(path);
        return ok && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("not saved");
    }
    // Lets queued callbacks run.
    void settle() {
        for (int i = 0; i < 5; ++i) {
            qt_->processSystemEvents();
        }
    }
    template <class W = QWidget> W* widget(int control) {
        return qobject_cast<W*>(qt_->controlWidget(p1_, control));
    }
    QLabel* caption() { return qt_->panelWidget(p1_)->findChild<QLabel*>("caption"); }
    double val(int control) {
        Value v;
        return qt_->getCtrlVal(p1_, control, v) < 0 ? -999999 : v.asDouble();
    }
    // An attribute, or (for 0) the value, of a control.
    Value attr(int control, int attribute) {
        Value v;
        const int rc = attribute ? qt_->getCtrlAttribute(p1_, control, attribute, v)
                                 : qt_->getCtrlVal(p1_, control, v);
        return rc < 0 ? Value::ofText("failed") : v;
    }
    // Lets the callbacks run and hands over (and forgets) their events; a
    // callback for another panel or control shows as -1.
    Events take(int control) {
        settle();
        Events out;
        for (const Call& c : calls) {
            out.push_back(c.panel == p1_ && c.control == control ? c.event : -1);
        }
        calls.clear();
        return out;
    }

    // Opens the file dialog and, once it is up, types `name` (unless empty)
    // and accepts or cancels it. Returns what it answered and showed: the
    // status ("error" below 0), the path, the accept label, the title, the
    // start directory and the types offered.
    QStringList fileDialog(const korven::rt::FileDialogRequest& request, const QString& name,
                           bool accept) {
        QStringList seen;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog) {
                return;
            }
            timer.stop();
            seen << dialog->labelText(QFileDialog::Accept) << dialog->windowTitle()
                 << dialog->directory().absolutePath() << dialog->nameFilters().join(' ');
            // Typed as an operator would; selectFile() races with the
            // dialog's own directory listing.
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (edit && !name.isEmpty()) {
                edit->setText(name);
            }
            QDialog* box = dialog; // accept() is public on QDialog
            accept ? box->accept() : box->reject();
        });
        timer.start(20);
        const korven::rt::FileDialogResult result = qt_->fileSelectPopup(request);
        seen.prepend(QString::fromStdString(result.path));
        seen.prepend(result.status < 0 ? QStringLiteral("error") : QString::number(result.status));
        return seen;
    }

  private slots:
    void init() {
        previous_ = korven::rt::CurrentLayoutRegistry();
        korven::rt::SetLayoutRegistry(&kTestRegistry);
        qt_ = std::make_unique<korven::rt::qt::QtBackend>();
        p1_ = qt_->loadPanel(0, form(), 1);
        QVERIFY(p1_ > 0);
        QCOMPARE(qt_->displayPanel(p1_), 0);
        settle();
        calls.clear();
    }

    void cleanup() {
        qt_.reset();
        korven::rt::SetLayoutRegistry(previous_);
        calls.clear();
    }

    void loadingFailsCleanly() {
        QVERIFY(qt_->loadPanel(0, dir_.filePath("missing.uir").toStdString(), 1) < 0);
        QVERIFY(qt_->loadPanel(0, form(), 7) < 0);
        QFile broken(dir_.filePath("broken.uir"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("<ui version=\"4.0\"><widget class=\"QWidget\"");
        broken.close();
        QVERIFY(qt_->loadPanel(0, broken.fileName().toStdString(), 1) < 0);
        // A second panel from the same file gets its own handle.
        const int p2 = qt_->loadPanel(0, form(), 2);
        QVERIFY(p2 > 0 && p2 != p1_);
        QVERIFY(qt_->controlWidget(p2, kOther) != nullptr);
        QVERIFY(qt_->controlWidget(p2, kButton) == nullptr);
        QCOMPARE(qt_->discardPanel(p2), 0);
        QVERIFY(qt_->discardPanel(p2) < 0);
        QVERIFY(qt_->setCtrlVal(p2, kOther, Value::ofInt(1)) < 0);
    }

    // Each operator action, the events it raises in order, and the value
    // the control holds afterwards.
    void operatorActionsReportTheirEvents() {
        const Events click{EVENT_LEFT_CLICK, EVENT_COMMIT}, commit{EVENT_COMMIT}, none;
        const Events clickChange{EVENT_LEFT_CLICK, EVENT_VAL_CHANGED, EVENT_COMMIT};
        const Events change{EVENT_VAL_CHANGED, EVENT_COMMIT};
        const auto left = [](QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); };
        const auto right = [](QWidget* w) { QTest::mouseClick(w, Qt::RightButton); };
        const auto key = [](Qt::Key k) { return [k](QWidget* w) { QTest::keyClick(w, k); }; };
        const auto type = [](const char* text) {
            return [text](QWidget* w) {
                qobject_cast<QAbstractSpinBox*>(w)->selectAll();
                QTest::keyClicks(w, QString::fromLatin1(text));
            };
        };
        constexpr double kAny = -1; // no value, or none checked
        const struct {
            const char* what;
            int control;
            std::function<void(QWidget*)> act;
            Events events;
            double value;
        } cases[] = {
            {"button", kButton, left, click, kAny},
            {"button by keyboard", kButton, key(Qt::Key_Space), commit, kAny},
            {"right button", kButton, right, none, kAny},
            {"toggle", kToggle, left, clickChange, 1},
            // Radio buttons are not exclusive by themselves: a second click
            // turns the button off again.
            {"radio on", kRadio, left, clickChange, 1},
            {"radio off", kRadio, left, clickChange, 0},
            {"check box by keyboard", kCheck, key(Qt::Key_Space), change, 1},
            {"spin box arrow", kSpin, key(Qt::Key_Up), change, 6},
            {"typing, not confirmed", kSpin, type("42"), none, kAny},
            {"typing confirmed", kSpin, key(Qt::Key_Return), change, 42},
            {"float typed", kFloat, type("2.5"), none, kAny},
            {"float confirmed", kFloat, key(Qt::Key_Return), change, 2.5}, // float precision
            {"ring arrow", kRing, key(Qt::Key_Down), change, 2}, // item 1 + value offset 1
        };
        QVERIFY(!widget<QRadioButton>(kRadio)->autoExclusive());
        for (const auto& c : cases) {
            // Callbacks run from the event loop, not inside the action.
            c.act(widget(c.control));
            QVERIFY2(calls.empty() && qt_->pendingEvents() == int(c.events.size()), c.what);
            QVERIFY2(take(c.control) == c.events, c.what);
            QVERIFY2(c.value == kAny || val(c.control) == c.value, c.what);
        }
        QCOMPARE(widget<QPushButton>(kToggle)->text(), QStringLiteral("ON"));

        // Choosing the item already shown from the open list is a commit
        // without a change (how the operator reconnects the same port).
        auto* ring = widget<QComboBox>(kRing);
        ring->showPopup();
        QTRY_VERIFY(ring->view()->isVisible());
        QTest::keyClick(ring->view(), Qt::Key_Return);
        QCOMPARE(take(kRing), Events{EVENT_COMMIT});
        QCOMPARE(val(kRing), 2.0);
    }

    // Values set from code land in the control's own type, coerced to its
    // range, and raise no events.
    void valuesFromCodeKeepTheirTypeSilently() {
        // Exactly representable slope words survive a round trip through a
        // float control although the display shows two decimals.
        for (int word : {1, 1023, 1025, 1536, 2047, 65535}) {
            QCOMPARE(qt_->setCtrlVal(p1_, kFloat, Value::ofDouble(word / 1024.0)), 0);
            QCOMPARE(val(kFloat), word / 1024.0);
        }
        // The control, the attribute set (0: the value), what is set, the
        // call's result (-1 for any failure), and the value read back.
        const struct {
            int control, attribute;
            Value set;
            int rc;
            double reads;
        } rows[] = {
            {kFloat, 0, Value::ofDouble(0.1), 0, static_cast<double>(0.1f)},
            {kDouble, 0, Value::ofDouble(1234.56789012345), 0, 1234.56789012345},
            {kFloat, 0, Value::ofDouble(500.0), 0, 128.0},
            {kSpin, 0, Value::ofInt(500), 0, 100},
            {kSpin, 0, Value::ofInt(-5), 0, 0},
            {kSpin, 0, Value::ofInt(std::int64_t{1} << 40), 0, 100},
            {kToggle, 0, Value::ofInt(1), 0, 1},
            {kRadio, 0, Value::ofInt(1), 0, 1},
            {kCheck, 0, Value::ofInt(1), 0, 1},
            // Rings take list values only; others leave the ring unchanged.
            {kRing, 0, Value::ofInt(3), 0, 3},
            {kRing, 0, Value::ofInt(4), -1, 3},
            {kRing, 0, Value::ofInt(0), -1, 3},
            // Range changes coerce the values, silently too.
            {kSpin, 0, Value::ofInt(77), 0, 77},
            {kSpin, ATTR_MAX_VALUE, Value::ofInt(50), 0, 50},
            {kFloat, 0, Value::ofDouble(3.25), 0, 3.25},
            {kFloat, ATTR_MAX_VALUE, Value::ofDouble(2.0), 0, 2},
        };
        for (const auto& r : rows) {
            const int rc = r.attribute ? qt_->setCtrlAttribute(p1_, r.control, r.attribute, r.set)
                                       : qt_->setCtrlVal(p1_, r.control, r.set);
            QCOMPARE((std::pair{rc < 0 ? -1 : rc, val(r.control)}), (std::pair{r.rc, r.reads}));
        }
        QCOMPARE(widget<QPushButton>(kToggle)->text(), QStringLiteral("ON"));
        QCOMPARE(widget<QComboBox>(kRing)->currentIndex(), 2);

        // A value that is not a finite number shows as such, not as the
        // number before it, until a number comes again.
        const std::pair<double, const char*> odd[] = {
            {std::nan(""), "NaN"}, {-HUGE_VAL, "-Inf"}, {0.0, "0.00"}};
        for (const auto& [value, text] : odd) {
            QCOMPARE(qt_->setCtrlVal(p1_, kFloat, Value::ofDouble(value)), 0);
            QCOMPARE(val(kFloat), value);
            QCOMPARE(widget<QDoubleSpinBox>(kFloat)->text(), QString(text));
        }

        // Texts: the text box keeps its lines, replaced one by one.
        QCOMPARE(qt_->setCtrlVal(p1_, kText, Value::ofText("x\ny")), 0);
        QCOMPARE(qt_->replaceTextBoxLine(p1_, kText, 0, "first"), 0);
        QCOMPARE(qt_->replaceTextBoxLine(p1_, kText, 1, "second\nline"), 0);
        QVERIFY(qt_->replaceTextBoxLine(p1_, kText, 5, "far") < 0);
        QCOMPARE(attr(kText, 0).asText(), "first\nsecond line");
        // Bytes that are not UTF-8 still show, one character each.
        for (const char* micro : {"25\xB5m", "25\u00B5m"}) {
            QCOMPARE(qt_->setCtrlVal(p1_, kLabel, Value::ofText(micro)), 0);
            QCOMPARE(widget<QLabel>(kLabel)->text(), QString::fromUtf8("25\u00B5m"));
        }
        settle();
        QVERIFY(calls.empty());

        // Controls without a value, and unknown ids, fail softly.
        QCOMPARE(attr(kButton, 0).asText(), "failed");
        QCOMPARE(attr(999, 0).asText(), "failed");
        QVERIFY(qt_->setCtrlVal(999, kSpin, Value::ofInt(1)) < 0);
    }

    // A text box changed from code keeps the operator's selection in the
    // part that stayed; lines holding the box's problem mark are coloured.
    void textBoxKeepsTheSelectionAndColoursMarkedLines() {
        auto* box = widget<QPlainTextEdit>(kText);
        QCOMPARE(qt_->setCtrlVal(p1_, kText, Value::ofText("10:00 one\n10:01 !! two")), 0);
        settle(); // the colouring starts with the next pass of the event loop
        QTextCursor selection(box->document());
        selection.setPosition(0);
        selection.setPosition(9, QTextCursor::KeepAnchor);
        box->setTextCursor(selection);
        QCOMPARE(qt_->setCtrlVal(p1_, kText,
                                 Value::ofText("10:00 one\n10:01 !! two  (x2)\n10:02 three")),
                 0);
        QCOMPARE(box->textCursor().selectedText(), QStringLiteral("10:00 one"));
        const auto colour = [box](int line) {
            const auto formats = box->document()->findBlockByNumber(line).layout()->formats();
            return formats.isEmpty() ? QColor() : formats.first().format.foreground().color();
        };
        QCOMPARE((std::vector{colour(0), colour(1), colour(2)}),
                 (std::vector{QColor(), QColor(0xC0, 0x00, 0x00), QColor()}));
    }

    // Each attribute reaches the part of the control that shows it, and
    // reads back as set.
    void attributesActOnTheRightParts() {
        QWidget* inner = widget(kInner);
        const struct {
            int control, attr;
            Value set;
            std::function<bool()> shows;
        } rows[] = {
            // Positions are relative to the panel, also inside a container.
            {kInner, ATTR_LEFT, Value::ofInt(150), [&] { return inner->x() == 50; }},
            {kSpin, ATTR_LABEL_TEXT, Value::ofText("OFFSET-VALUE"),
             [&] { return caption()->text() == QStringLiteral("OFFSET-VALUE"); }},
            {kSpin, ATTR_MIN_VALUE, Value::ofInt(950), [&] { return val(kSpin) == 950; }},
            {kSpin, ATTR_MAX_VALUE, Value::ofInt(1000), [&] { return val(kSpin) == 950; }},
            {kToggle, ATTR_ON_TEXT, Value::ofText("HI"), [] { return true; }},
            {kToggle, ATTR_OFF_TEXT, Value::ofText("LO"),
             [&] { return widget<QPushButton>(kToggle)->text() == QStringLiteral("LO"); }},
            {kLabel, ATTR_TEXT_POINT_SIZE, Value::ofInt(18),
             [&] { return widget(kLabel)->font().pixelSize() == 18; }},
            {kLabel, ATTR_TEXT_COLOR, Value::ofInt(0xFF0000), [] { return true; }},
            {kFrame, ATTR_FRAME_COLOR, Value::ofInt(0x0080FF),
             [&] {
                 return widget(kFrame)->autoFillBackground() &&
                        widget(kFrame)->palette().color(QPalette::Window) == QColor(0, 128, 255);
             }},
            // Dimming and hiding a container reach the controls inside it.
            {kFrame, ATTR_VISIBLE, Value::ofInt(0), [&] { return !inner->isVisible(); }},
            {kFrame, ATTR_VISIBLE, Value::ofInt(1), [&] { return inner->isVisible(); }},
            {kFrame, ATTR_DIMMED, Value::ofInt(1), [&] { return !inner->isEnabled(); }},
            // A dimmed spin box's caption dims with it.
            {kSpin, ATTR_DIMMED, Value::ofInt(1), [&] { return !caption()->isEnabled(); }},
        };
        QCOMPARE(attr(kInner, ATTR_LEFT).asText(), "110");
        QCOMPARE(attr(kInner, ATTR_TOP).asText(), "220");
        for (const auto& r : rows) {
            // Set, then shown, then read back (braces evaluate in order).
            QCOMPARE(
                (std::tuple{r.control, r.attr, qt_->setCtrlAttribute(p1_, r.control, r.attr, r.set),
                            r.shows(), attr(r.control, r.attr).asText()}),
                (std::tuple{r.control, r.attr, 0, true, r.set.asText()}));
        }
        QVERIFY(qt_->setCtrlAttribute(p1_, kSpin, ATTR_ON_TEXT, Value::ofText("x")) < 0);

        // A dimmed container leaves its inner control's own state alone.
        QCOMPARE(attr(kInner, ATTR_DIMMED).asText(), "0");
        QTest::mouseClick(inner, Qt::LeftButton);
        QVERIFY(take(kInner).empty());
        QCOMPARE(qt_->setCtrlAttribute(p1_, kFrame, ATTR_DIMMED, Value::ofInt(0)), 0);
        QVERIFY(inner->isEnabled());
        QTest::mouseClick(inner, Qt::LeftButton);
        QCOMPARE(take(kInner), (Events{EVENT_LEFT_CLICK, EVENT_COMMIT}));
    }

    void runtimeLabelsAndPictures() {
        const int id = qt_->newCtrl(p1_, CTRL_TEXT_MSG, "", 35, 300);
        QVERIFY(id > 0);
        QVERIFY(qt_->newCtrl(p1_, 999, "", 0, 0) < 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, id, ATTR_TEXT_FONT, Value::ofText(VAL_APP_META_FONT)),
                 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, id, ATTR_TEXT_POINT_SIZE, Value::ofInt(18)), 0);
        QCOMPARE(qt_->setCtrlVal(p1_, id, Value::ofText("KORVEN-Darir")), 0);
        auto* label = widget<QLabel>(id);
        QVERIFY(label && label->isVisible());
        QCOMPARE(label->pos(), QPoint(300, 35));
        QCOMPARE(label->text(), QStringLiteral("KORVEN-Darir"));
        // The label grows with its text, so nothing is cut.
        QVERIFY(label->width() >= label->sizeHint().width());

        QImage image(12, 7, QImage::Format_RGB32);
        image.fill(Qt::blue);
        const QString logo = dir_.filePath("logo.png");
        QVERIFY(image.save(logo));
        QCOMPARE(qt_->displayImageFile(p1_, kPicture, logo.toStdString()), 0);
        QCOMPARE(widget(kPicture)->size(), QSize(12, 7));
        QVERIFY(qt_->displayImageFile(p1_, kPicture, dir_.filePath("none.png").toStdString()) < 0);
        QVERIFY(qt_->displayImageFile(p1_, kSpin, logo.toStdString()) < 0);
    }

    // A quit from inside the running loop, with callbacks running in it,
    // ends the program's walk in the program tests.
    void theLoopEndsOnQuitAndTheCloseBoxOnlyReports() {
        // A quit before the loop starts ends the next loop at once.
        qt_->quitUserInterface(3);
        QCOMPARE(qt_->runUserInterface(), 3);
        QWidget* window = qt_->panelWidget(p1_);
        window->close();
        settle();
        QCOMPARE(take(0), Events{EVENT_CLOSE});
        QVERIFY(window->isVisible());
        QCOMPARE(qt_->hidePanel(p1_), 0);
        QVERIFY(!window->isVisible());
    }

    // The start directory (`files` for the test's folder), the button, the
    // proposed name, the restriction to the extension, a typed name and
    // accepting or cancelling; then what the dialog answered and showed.
    void fileDialogAnswersLikeTheEngine() {
        QTemporaryDir files;
        QVERIFY(QFile(files.filePath(QStringLiteral("KRVNpara.dat"))).open(QIODevice::WriteOnly));
        // A start directory that does not exist falls back to the documents
        // folder (or home, when there is none).
        const QString documents =
            QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        const QString fallback = QFileInfo(documents).isDir() ? documents : QDir::homePath();
        const QFileInfo readOnly(QStringLiteral("/proc/self"));
        const struct {
            const char *directory, *name, *typed;
            int button;
            bool restrict, accept;
            const char* shows;
        } rows[] = {
            {"files", "KRVNpara.dat", "", VAL_LOAD_BUTTON, false, true,
             "1|files/KRVNpara.dat|Load|files|*.dat *"},
            // A new name gets the filter's extension. The name is the
            // proposed one, so nothing races with the dialog's own listing.
            {"files", "second", "", VAL_OK_BUTTON, false, true,
             "2|files/second.dat|OK|files|*.dat *"},
            // Restricted to the extension, it offers no other and takes no
            // name typed with another.
            {"files", "second", "other.txt", VAL_OK_BUTTON, true, true, "error||OK|files|*.dat"},
            {"files/gone", "second", "", VAL_OK_BUTTON, false, false, "0||OK|documents|*.dat *"},
            // A folder that can be read but not written is still where the
            // dialog starts (loading needs no more).
            {"/proc/self", "", "", VAL_LOAD_BUTTON, false, false, "0||Load|/proc/self|*.dat *"},
        };
        const QString filesDir = QDir(files.path()).absolutePath();
        for (const auto& r : rows) {
            if (r.directory[0] == '/' && (readOnly.isWritable() || !readOnly.isReadable())) {
                continue; // the system lets this user write there
            }
            // Directory, proposed name, types, title, button, restrictions.
            QStringList seen =
                fileDialog({QString(r.directory).replace("files", filesDir).toStdString(), r.name,
                            "*.dat", "KORVEN-Parameter-File", r.button, false, r.restrict},
                           r.typed, r.accept);
            QCOMPARE(seen.takeAt(3), QStringLiteral("KORVEN-Parameter-File"));
            QCOMPARE(seen.join('|')
                         .replace(filesDir, "files")
                         .replace(QDir(fallback).absolutePath(), "documents"),
                     QString(r.shows));
        }
    }

    // An idle pass sleeps instead of spinning, but not for long: the loops
    // keep their clock.
    void idlePassesSleepButNotLong() {
        settle(); // whatever is still pending
        QElapsedTimer all;
        all.start();
        for (int i = 0; i < 10; ++i) {
            QElapsedTimer pass;
            pass.start();
            qt_->processSystemEvents();
            QCOMPARE_LT(pass.elapsed(), 250);
        }
        QCOMPARE_GE(all.elapsed(), 40);
        QCOMPARE_LT(all.elapsed(), 500);
    }

    void valuesPaintOnlyWhatChanged() {
        const std::pair<int, Value> cases[] = {
            {kSpin, Value::ofInt(7)},         {kFloat, Value::ofDouble(2.5)},
            {kDouble, Value::ofDouble(1.25)}, {kRing, Value::ofInt(2)},
            {kToggle, Value::ofInt(1)},       {kCheck, Value::ofInt(1)},
            {kText, Value::ofText("a\nb")},   {kLabel, Value::ofText("Line Ok!")}};
        for (const auto& [control, value] : cases) {
            QCOMPARE(qt_->setCtrlVal(p1_, control, value), 0);
            QTest::qWait(60);
            PaintCounter counter;
            widget(control)->installEventFilter(&counter);
            for (QWidget* w : widget(control)->findChildren<QWidget*>()) {
                w->installEventFilter(&counter);
            }
            for (int i = 0; i < 3; ++i) {
                QCOMPARE(qt_->setCtrlVal(p1_, control, value), 0);
                QTest::qWait(60);
            }
            QCOMPARE((std::pair{control, counter.paints}), (std::pair{control, 0}));
        }
        // An indicator that changes paints itself, not the panel beneath it.
        PaintCounter indicator, beneath;
        widget(kDouble)->installEventFilter(&indicator);
        widget(kDouble)->parentWidget()->installEventFilter(&beneath);
        QCOMPARE(qt_->setCtrlVal(p1_, kDouble, Value::ofDouble(9.5)), 0);
        QTest::qWait(60);
        QCOMPARE(std::pair(indicator.paints > 0, beneath.paints), std::pair(true, 0));
    }

    // Plots and bands by handle, cursors that survive clearing; the
    // operator's zoom holds against the program's scaling until a
    // double-click; a paused graph does not redraw; picture and data export.
    void plotsZoomPauseAndExport() {
        Graph* g = qt_->graph(p1_, kGraph);
        QVERIFY(g && !g->isStripChart());
        QCustomPlot* plot = g->plot();
        // The x axis as the layout sets it.
        QCOMPARE((std::pair{g->axisMin(VAL_XAXIS), g->axisMax(VAL_XAXIS)}),
                 (std::pair{1.0, 1024.0}));
        const std::vector<double> x{1, 2, 3}, y{10, 20, 15};
        const int curve =
            qt_->plotXY(p1_, kGraph, x, y, VAL_FAT_LINE, VAL_NO_POINT, VAL_SOLID, 1, VAL_RED);
        const int rect = qt_->plotRectangle(p1_, kGraph, 412, 0.0, 612, 0.25, VAL_GREEN, VAL_GREEN);
        QVERIFY(curve > 0 && rect > 0 && rect != curve);
        QVERIFY(qt_->plotXY(p1_, kGraph, x, std::vector<double>{1, 2}, 0, VAL_NO_POINT, 0, 1, 0) <
                0);
        QCOMPARE((std::pair{g->curveCount(), g->rectangleCount()}), (std::pair{1, 1}));
        auto* item = qobject_cast<QCPItemRect*>(plot->item(plot->itemCount() - 1));
        QVERIFY(item);
        QCOMPARE(item->brush().color(), QColor(0, 255, 0));
        for (int c = 1; c <= 3; ++c) {
            QCOMPARE(qt_->setGraphCursor(p1_, kGraph, c, 100.0 * c, 0.75), 0);
        }
        QVERIFY(qt_->setGraphCursor(p1_, kGraph, 4, 1.0, 1.0) < 0);

        plot->replot();
        const QPointF centre = plot->axisRect()->rect().center();
        QWheelEvent wheel(centre, plot->mapToGlobal(centre), {}, {0, 120}, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCOMPARE(g->stateText(), QString());
        QCoreApplication::sendEvent(plot, &wheel);
        QVERIFY(g->operatorView());
        QVERIFY(g->stateText().startsWith(QStringLiteral("ZOOMED")));
        const double zoomedMax = g->axisMax(VAL_XAXIS);
        QVERIFY(zoomedMax < 1024.0);
        QCOMPARE(qt_->setAxisScalingMode(p1_, kGraph, VAL_XAXIS, VAL_MANUAL, 0.0, 2048.0), 0);
        QCOMPARE(g->axisMax(VAL_XAXIS), zoomedMax);
        // Back to the program's scaling by a double-click, or by a button
        // that asks the program for a view of its own.
        QTest::mouseDClick(plot, Qt::LeftButton, {}, centre.toPoint());
        QVERIFY(!g->operatorView());
        QCOMPARE(g->axisMax(VAL_XAXIS), 2048.0);
        QCOMPARE(g->stateText(), QString());
        QCoreApplication::sendEvent(plot, &wheel);
        QVERIFY(g->operatorView());
        QTest::mouseClick(widget(kToggle), Qt::LeftButton);
        QVERIFY(!g->operatorView());
        QCOMPARE(g->axisMax(VAL_XAXIS), 2048.0);

        // The context menu offers the exports, the pause and the reset.
        emit plot->customContextMenuRequested(centre.toPoint());
        auto* menu = plot->findChild<QMenu*>();
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 6); // three saves, separator, pause, reset
        menu->actions()[4]->trigger();
        QVERIFY(g->paused());
        QCOMPARE(g->stateText(), QStringLiteral("PAUSED"));
        menu->close();
        int replots = 0;
        connect(plot, &QCustomPlot::afterReplot, this, [&replots] { ++replots; });
        const int second =
            qt_->plotXY(p1_, kGraph, x, y, VAL_THIN_LINE, VAL_NO_POINT, VAL_SOLID, 1, VAL_RED);
        QTest::qWait(60);
        QCOMPARE(replots, 0);
        g->setPaused(false);
        QTRY_VERIFY(replots > 0);

        QVERIFY(!QImage::fromData(saved(g, "g.png")).isNull());
        QVERIFY(saved(g, "g.pdf").startsWith("%PDF"));
        const QByteArray cursors = "cursor_1,100,0.75\ncursor_2,200,0.75\ncursor_3,300,0.75\n";
        QCOMPARE(saved(g, "g.csv"),
                 "plot,position,value\ncurve_1,1,10\ncurve_1,2,20\ncurve_1,3,15\n"
                 "band_1,412,0.25\nband_1,612,0\n"
                 "curve_2,1,10\ncurve_2,2,20\ncurve_2,3,15\n" +
                     cursors);
        QCOMPARE(saved(g, "missing/g.csv"), "not saved");

        QCOMPARE(qt_->deleteGraphPlot(p1_, kGraph, second, VAL_DELAYED_DRAW), 0);
        QVERIFY(qt_->deleteGraphPlot(p1_, kGraph, second, VAL_DELAYED_DRAW) < 0);
        QCOMPARE(g->plotCount(), 2);
        QCOMPARE(qt_->deleteGraphPlot(p1_, kGraph, ALL_PLOTS, VAL_IMMEDIATE_DRAW), 0);
        QCOMPARE((std::pair{g->plotCount(), plot->plottableCount()}), (std::pair{0, 0}));
        // Clearing the plots leaves the cursors where they were.
        QCOMPARE(saved(g, "g.csv"), "plot,position,value\n" + cursors);
        QCOMPARE(qt_->setAxisScalingMode(p1_, kGraph, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0, 1024.0), 0);
        QCOMPARE(g->axisMax(VAL_LEFT_YAXIS), 1024.0);
        QVERIFY(qt_->setAxisScalingMode(p1_, kGraph, VAL_LEFT_YAXIS, VAL_MANUAL, 5.0, 5.0) < 0);
        QVERIFY(qt_->setAxisScalingMode(p1_, kGraph, 7, VAL_MANUAL, 0.0, 1.0) < 0);
        // Graph calls on other controls fail softly.
        QVERIFY(qt_->plotXY(p1_, kSpin, x, y, 0, VAL_NO_POINT, 0, 1, 0) < 0);
        QVERIFY(qt_->plotStripChart(p1_, kGraph, x) < 0);
    }

    void stripChartScrollsTheNewestInAtTheRight() {
        Graph* g = qt_->graph(p1_, kStrip);
        QVERIFY(g && g->isStripChart());
        QCOMPARE(qt_->setCtrlAttribute(p1_, kStrip, ATTR_NUM_TRACES, Value::ofInt(2)), 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kStrip, ATTR_POINTS_PER_SCREEN, Value::ofInt(5)), 0);
        QCOMPARE(qt_->setTraceAttribute(p1_, kStrip, 2, ATTR_TRACE_COLOR, VAL_RED), 0);
        QVERIFY(qt_->setTraceAttribute(p1_, kStrip, 2, 999, VAL_RED) < 0);
        QCOMPARE(attr(kStrip, ATTR_POINTS_PER_SCREEN).asText(), "5");

        // Values are multiplexed: trace 1, trace 2, trace 1, ...; the oldest
        // scroll out once a screen is full.
        QCOMPARE(qt_->plotStripChart(p1_, kStrip, std::vector<double>{1, 10, 2, 20, 3, 30}), 0);
        QCOMPARE(saved(g, "s.csv"),
                 QByteArray("Answer,\"Set-point (Edge, left)\",trace_2\n1,1,10\n2,2,20\n3,3,30\n"));
        QCOMPARE(qt_->plotStripChart(p1_, kStrip, std::vector<double>{4, 40, 5, 50, 6, 60, 7, 70}),
                 0);
        QCOMPARE(saved(g, "s.csv"),
                 QByteArray("Answer,\"Set-point (Edge, left)\",trace_2\n1,3,30\n2,4,40\n3,5,50\n"
                            "4,6,60\n5,7,70\n"));
        // On screen the newest value sits at the right end of the x axis.
        QCPGraph* trace1 = g->plot()->graph(0);
        QCOMPARE(trace1->dataCount(), 5);
        const auto newest = trace1->data()->constEnd() - 1;
        QCOMPARE(QPointF(newest->key, newest->value), QPointF(4, 7));
        QCOMPARE(g->axisMax(VAL_XAXIS), 4.0);
        QCOMPARE(g->plot()->graph(1)->pen().color(), QColor(255, 0, 0));
        QVERIFY(qt_->setCtrlAttribute(p1_, kStrip, ATTR_NUM_TRACES, Value::ofInt(0)) < 0);
    }

    // Larger graphs are drawn less often, by their device pixels.
    void largerGraphsAreDrawnLessOften() {
        using korven::rt::qt::ReplotIntervalMs;
        const std::tuple<QSize, double, qint64> cases[] = {
            {QSize(740, 270), 1.0, 39},  // the strip chart at the designed size
            {QSize(740, 120), 1.0, 20},  // the edge graph at the designed size
            {QSize(1000, 100), 1.0, 20}, // 100 000 pixels, the last at 50 a second
            {QSize(1000, 105), 1.0, 21},
            {QSize(1310, 563), 1.0, 147}, // maximised on 1920 x 1080
            {QSize(740, 270), 2.0, 159},  // the designed size at 200 %
            {QSize(0, 0), 1.0, 20},
            {QSize(-5, 100), 1.0, 20},
            {QSize(740, 270), std::nan(""), 39},
            {QSize(20000, 20000), 1.0, 1000}, // never slower than once a second
        };
        int row = 0;
        for (const auto& [size, ratio, interval] : cases) {
            QCOMPARE((std::pair{row, ReplotIntervalMs(size, ratio)}), (std::pair{row, interval}));
            ++row;
        }
    }

    // The bands a loop draws anew with every answer reuse the rectangles
    // taken off: the plot does not grow, and what shows and is exported is
    // what was plotted last, a later band over an earlier one.
    void bandsTakenOffAreReusedAsNew() {
        Graph* g = qt_->graph(p1_, kGraph);
        QCustomPlot* plot = g->plot();
        QCOMPARE(qt_->setAxisScalingMode(p1_, kGraph, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0, 1.0), 0);
        const auto colourAt = [&](double x) {
            plot->replot();
            const QImage image = plot->grab().toImage();
            return QColor(image.pixel(static_cast<int>(plot->xAxis->coordToPixel(x)),
                                      static_cast<int>(plot->yAxis->coordToPixel(0.5))));
        };
        const QColor red(255, 0, 0), green(0, 255, 0);
        const QColor empty200 = colourAt(200), empty800 = colourAt(800);
        // Two bands overlapping between 400 and 600.
        const auto bands = [&](int first, int second) {
            QCOMPARE(qt_->deleteGraphPlot(p1_, kGraph, ALL_PLOTS, VAL_NO_DRAW), 0);
            QVERIFY(qt_->plotRectangle(p1_, kGraph, 100, 0.1, 600, 0.9, first, first) > 0);
            QVERIFY(qt_->plotRectangle(p1_, kGraph, 400, 0.1, 900, 0.9, second, second) > 0);
        };
        bands(VAL_RED, VAL_GREEN);
        const int items = plot->itemCount();
        for (int answer = 0; answer < 4; ++answer) {
            QCOMPARE((std::pair{answer, colourAt(500)}), (std::pair{answer, green}));
            bands(VAL_RED, VAL_GREEN);
        }
        bands(VAL_GREEN, VAL_RED);
        QCOMPARE((std::pair{plot->itemCount(), colourAt(500)}), (std::pair{items, red}));
        // One band taken off and another plotted: the new one is on top.
        QCOMPARE(qt_->deleteGraphPlot(p1_, kGraph, ALL_PLOTS, VAL_NO_DRAW), 0);
        const int low = qt_->plotRectangle(p1_, kGraph, 100, 0.1, 600, 0.9, VAL_RED, VAL_RED);
        const int high = qt_->plotRectangle(p1_, kGraph, 400, 0.1, 900, 0.9, VAL_RED, VAL_RED);
        QCOMPARE(qt_->deleteGraphPlot(p1_, kGraph, low, VAL_NO_DRAW), 0);
        QVERIFY(qt_->plotRectangle(p1_, kGraph, 300, 0.1, 600, 0.9, VAL_GREEN, VAL_GREEN) > 0);
        QCOMPARE((std::pair{colourAt(500), colourAt(200)}), (std::pair{green, empty200}));
        // Fewer bands than before: the ones not used show nowhere.
        QCOMPARE(qt_->deleteGraphPlot(p1_, kGraph, high, VAL_NO_DRAW), 0);
        QCOMPARE((std::pair{colourAt(800), g->rectangleCount()}), (std::pair{empty800, 1}));
        QCOMPARE(saved(g, "b.csv"), "plot,position,value\nband_1,300,0.9\nband_1,600,0.1\n");
    }

    // A change too soon after a drawing waits for the first change after
    // the interval and is drawn with it in the next event pass, one window
    // update for everything an answer changed; with no later change, it is
    // drawn 50 ms after the interval.
    void earlyChangesAreDrawnWithTheNextOne() {
        using korven::rt::qt::ReplotIntervalMs;
        QCustomPlot* plot = qt_->graph(p1_, kGraph)->plot();
        plot->resize(1000, 300);
        const qint64 interval = ReplotIntervalMs(plot->size(), plot->devicePixelRatioF());
        QVERIFY(interval >= 60);
        QTest::qWait(static_cast<int>(interval) + 60); // nothing waits
        QElapsedTimer clock;
        clock.start();
        std::vector<qint64> drawn; // when each drawing was done
        connect(plot, &QCustomPlot::afterReplot, this, [&] { drawn.push_back(clock.elapsed()); });
        const auto change = [&] {
            QCOMPARE(qt_->deleteGraphPlot(p1_, kGraph, ALL_PLOTS, VAL_DELAYED_DRAW), 0);
            QCoreApplication::processEvents();
        };
        change();
        QCOMPARE(drawn.size(), 1u);
        change();
        QTest::qWait(static_cast<int>(interval) + 10);
        if (clock.elapsed() - drawn[0] < interval + 50) { // the machine did not stall
            QCOMPARE(drawn.size(), 1u);
        }
        change();
        QCOMPARE(drawn.size(), 2u);
        change();
        QCOMPARE(drawn.size(), 2u);
        QTRY_COMPARE_WITH_TIMEOUT(drawn.size(), 3u, 2000);
        // Less the time the drawing itself took.
        QVERIFY2(drawn[2] - drawn[1] >= interval + 40,
                 qPrintable(QString::number(drawn[2] - drawn[1])));
    }

    // The layout's plots keep their background in their drawing buffer, yet
    // show what a plain QCustomPlot shows, in any colour and after growing.
    void plotsShowWhatQCustomPlotShows() {
        korven::rt::qt::Plot ours;
        QCustomPlot plain;
        const std::tuple<QColor, QSize> cases[] = {
            {QColor(255, 255, 255), QSize(320, 200)},
            {QColor(250, 240, 200), QSize(640, 300)},
            {QColor(255, 255, 255), QSize(1280, 600)},
        };
        for (const auto& [background, size] : cases) {
            QList<QImage> shown;
            for (QCustomPlot* p : {static_cast<QCustomPlot*>(&ours), &plain}) {
                p->resize(size);
                p->setBackground(background);
                if (p->graphCount() == 0) {
                    p->addGraph()->setData({0, 1, 2, 3}, {1, 3, 2, 4});
                    p->xAxis->setLabel(QStringLiteral("Position"));
                    p->xAxis->setRange(0, 3);
                    p->yAxis->setRange(0, 4);
                }
                p->replot();
                shown.push_back(p->grab().toImage().convertToFormat(QImage::Format_ARGB32));
            }
            QCOMPARE(shown[0].size(), size);
            QCOMPARE(shown[1].size(), size);
            // Smoothed edges and glyphs blended onto the background directly
            // or through a transparent buffer differ by rounding only.
            int largest = 0;
            for (int y = 0; y < size.height(); ++y) {
                for (int x = 0; x < size.width(); ++x) {
                    const QRgb a = shown[0].pixel(x, y), b = shown[1].pixel(x, y);
                    largest = std::max(
                        {largest, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                         std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
                }
            }
            QVERIFY2(largest <= 2, qPrintable(background.name(QColor::HexArgb)));
        }
    }
};

int RunPanelTests(int argc, char** argv) {
    return QTest::qExec(std::make_unique<PanelTests>().get(), argc, argv);
}

#include "test_qt_panels.moc"
