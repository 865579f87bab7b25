// Panels of the Qt back end: events from operator actions, silence for
// values set from code, values in the control's own type, attributes.
#include "runtime/qt/qt_backend.h"
#include "tests/qt/qt_fixture.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <QFile>

#include <chrono>
#include <cmath>
#include <memory>

using korven::rt::Value;
using korven::rt::qt::QtBackend;
using namespace qtfix;

class PanelTests : public TestFormBase {
    Q_OBJECT

  private:
    template <class W> W* widget(int control) {
        return qobject_cast<W*>(qt_->controlWidget(p1_, control));
    }
    std::int64_t intVal(int control) {
        Value v;
        if (qt_->getCtrlVal(p1_, control, v) < 0) {
            return -999999;
        }
        return v.asInt();
    }
    double doubleVal(int control) {
        Value v;
        qt_->getCtrlVal(p1_, control, v);
        return v.asDouble();
    }

  private slots:
    void loadingFailsCleanly() {
        QVERIFY(qt_->loadPanel(0, dir_.filePath("missing.uir").toStdString(), 1) < 0);
        QVERIFY(qt_->loadPanel(0, WriteTestForm(dir_).toStdString(), 7) < 0);
        QFile broken(dir_.filePath("broken.uir"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("<ui version=\"4.0\"><widget class=\"QWidget\"");
        broken.close();
        QVERIFY(qt_->loadPanel(0, broken.fileName().toStdString(), 1) < 0);
        // A second panel from the same file gets its own handle.
        const int p2 = qt_->loadPanel(0, WriteTestForm(dir_).toStdString(), 2);
        QVERIFY(p2 > 0 && p2 != p1_);
        QVERIFY(qt_->controlWidget(p2, kOther) != nullptr);
        QVERIFY(qt_->controlWidget(p2, kButton) == nullptr);
        QCOMPARE(qt_->discardPanel(p2), 0);
        QVERIFY(qt_->discardPanel(p2) < 0);
        QVERIFY(qt_->setCtrlVal(p2, kOther, Value::ofInt(1)) < 0);
    }

    void buttonMouseAndKeyboard() {
        auto* button = widget<QPushButton>(kButton);
        QTest::mouseClick(button, Qt::LeftButton);
        settle();
        QCOMPARE(EventsOf(kButton), (std::vector<int>{EVENT_LEFT_CLICK, EVENT_COMMIT}));
        Calls().clear();
        // From the keyboard: commit only, no mouse press.
        QTest::keyClick(button, Qt::Key_Space);
        settle();
        QCOMPARE(EventsOf(kButton), (std::vector<int>{EVENT_COMMIT}));
        Calls().clear();
        // The right button is no left click and no commit.
        QTest::mouseClick(button, Qt::RightButton);
        settle();
        QVERIFY(EventsOf(kButton).empty());
        // Callbacks run from the event loop, not inside the click.
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(Calls().empty());
        QVERIFY(qt_->pendingEvents() > 0);
        settle();
        QCOMPARE(Calls().size(), std::size_t{2});
        QCOMPARE(Calls().front(), (Call{p1_, kButton, EVENT_LEFT_CLICK}));
    }

    void toggleRadioAndCheckReportChanges() {
        auto* toggle = widget<QPushButton>(kToggle);
        QCOMPARE(toggle->text(), QStringLiteral("OFF"));
        QTest::mouseClick(toggle, Qt::LeftButton);
        settle();
        QCOMPARE(EventsOf(kToggle),
                 (std::vector<int>{EVENT_LEFT_CLICK, EVENT_VAL_CHANGED, EVENT_COMMIT}));
        QCOMPARE(intVal(kToggle), 1);
        QCOMPARE(toggle->text(), QStringLiteral("ON"));

        // Radio buttons are not exclusive by themselves: a second click
        // turns the button off again, and each click reports.
        auto* radio = widget<QRadioButton>(kRadio);
        QVERIFY(!radio->autoExclusive());
        QTest::mouseClick(radio, Qt::LeftButton);
        QTest::mouseClick(radio, Qt::LeftButton);
        settle();
        QCOMPARE(intVal(kRadio), 0);
        QCOMPARE(EventsOf(kRadio),
                 (std::vector<int>{EVENT_LEFT_CLICK, EVENT_VAL_CHANGED, EVENT_COMMIT,
                                   EVENT_LEFT_CLICK, EVENT_VAL_CHANGED, EVENT_COMMIT}));

        auto* check = widget<QAbstractButton>(kCheck);
        QTest::keyClick(check, Qt::Key_Space);
        settle();
        QCOMPARE(intVal(kCheck), 1);
        QCOMPARE(EventsOf(kCheck), (std::vector<int>{EVENT_VAL_CHANGED, EVENT_COMMIT}));
    }

    void numericsAndRingsReportConfirmedChanges() {
        auto* spin = widget<QSpinBox>(kSpin);
        QTest::keyClick(spin, Qt::Key_Up);
        settle();
        QCOMPARE(intVal(kSpin), 6);
        QCOMPARE(EventsOf(kSpin), (std::vector<int>{EVENT_VAL_CHANGED, EVENT_COMMIT}));
        Calls().clear();

        // Typing reports nothing until the entry is confirmed.
        spin->selectAll();
        QTest::keyClicks(spin, QStringLiteral("42"));
        settle();
        QVERIFY(EventsOf(kSpin).empty());
        QTest::keyClick(spin, Qt::Key_Return);
        settle();
        QCOMPARE(intVal(kSpin), 42);
        QCOMPARE(EventsOf(kSpin), (std::vector<int>{EVENT_VAL_CHANGED, EVENT_COMMIT}));

        // A float entry changed by the operator reads back in float precision.
        auto* fl = widget<QDoubleSpinBox>(kFloat);
        fl->selectAll();
        QTest::keyClicks(fl, QStringLiteral("2.5"));
        QTest::keyClick(fl, Qt::Key_Return);
        settle();
        QCOMPARE(doubleVal(kFloat), 2.5);
        QCOMPARE(EventsOf(kFloat), (std::vector<int>{EVENT_VAL_CHANGED, EVENT_COMMIT}));

        auto* ring = widget<QComboBox>(kRing);
        QCOMPARE(intVal(kRing), 1); // item 0 + value offset 1
        QTest::keyClick(ring, Qt::Key_Down);
        settle();
        QCOMPARE(intVal(kRing), 2);
        QCOMPARE(EventsOf(kRing), (std::vector<int>{EVENT_VAL_CHANGED, EVENT_COMMIT}));
        Calls().clear();

        // Choosing the item already shown from the open list is a commit
        // without a change (how the operator reconnects the same port).
        ring->showPopup();
        QTRY_VERIFY(ring->view()->isVisible());
        QTest::keyClick(ring->view(), Qt::Key_Return);
        settle();
        QCOMPARE(intVal(kRing), 2);
        QCOMPARE(EventsOf(kRing), (std::vector<int>{EVENT_COMMIT}));
    }

    void valuesSetFromCodeRaiseNoEvents() {
        QCOMPARE(qt_->setCtrlVal(p1_, kToggle, Value::ofInt(1)), 0);
        QCOMPARE(widget<QPushButton>(kToggle)->text(), QStringLiteral("ON"));
        QCOMPARE(qt_->setCtrlVal(p1_, kRadio, Value::ofInt(1)), 0);
        QCOMPARE(qt_->setCtrlVal(p1_, kCheck, Value::ofInt(1)), 0);
        QCOMPARE(qt_->setCtrlVal(p1_, kSpin, Value::ofInt(77)), 0);
        QCOMPARE(qt_->setCtrlVal(p1_, kFloat, Value::ofDouble(3.25)), 0);
        QCOMPARE(qt_->setCtrlVal(p1_, kRing, Value::ofInt(3)), 0);
        QCOMPARE(qt_->setCtrlVal(p1_, kText, Value::ofText("x\ny")), 0);
        QCOMPARE(qt_->setCtrlVal(p1_, kLabel, Value::ofText("status")), 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kSpin, ATTR_MAX_VALUE, Value::ofInt(50)), 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kSpin, ATTR_MIN_VALUE, Value::ofInt(10)), 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kFloat, ATTR_MAX_VALUE, Value::ofDouble(2.0)), 0);
        QCOMPARE(qt_->replaceTextBoxLine(p1_, kText, 0, "z"), 0);
        settle();
        QVERIFY(Calls().empty());
        // Range changes coerce the values, silently too.
        QCOMPARE(intVal(kSpin), 50);
        QCOMPARE(doubleVal(kFloat), 2.0);
    }

    void valuesKeepTheirTypeAndAreCoerced() {
        // Exactly representable slope words survive a round trip through
        // a float control although the display shows two decimals.
        for (int word : {1, 1023, 1025, 1536, 2047, 65535}) {
            const double slope = word / 1024.0;
            QCOMPARE(qt_->setCtrlVal(p1_, kFloat, Value::ofDouble(slope)), 0);
            QCOMPARE(doubleVal(kFloat), slope);
        }
        QCOMPARE(qt_->setCtrlVal(p1_, kFloat, Value::ofDouble(0.1)), 0);
        QCOMPARE(doubleVal(kFloat), static_cast<double>(0.1f));
        QCOMPARE(qt_->setCtrlVal(p1_, kDouble, Value::ofDouble(1234.56789012345)), 0);
        QCOMPARE(doubleVal(kDouble), 1234.56789012345);
        QCOMPARE(qt_->setCtrlVal(p1_, kFloat, Value::ofDouble(500.0)), 0);
        QCOMPARE(doubleVal(kFloat), 128.0);
        // A value that is not a finite number shows as such, not as the
        // number before it, until a number comes again.
        for (double odd : {std::nan(""), -HUGE_VAL}) {
            QCOMPARE(qt_->setCtrlVal(p1_, kFloat, Value::ofDouble(odd)), 0);
            QCOMPARE(widget<QDoubleSpinBox>(kFloat)->text(),
                     std::isnan(odd) ? QStringLiteral("NaN") : QStringLiteral("-Inf"));
        }
        QVERIFY(std::isinf(doubleVal(kFloat)));
        QCOMPARE(qt_->setCtrlVal(p1_, kFloat, Value::ofDouble(0.0)), 0);
        QVERIFY(!widget<QDoubleSpinBox>(kFloat)->text().contains(QStringLiteral("Inf")));

        QCOMPARE(qt_->setCtrlVal(p1_, kSpin, Value::ofInt(500)), 0);
        QCOMPARE(intVal(kSpin), 100);
        QCOMPARE(qt_->setCtrlVal(p1_, kSpin, Value::ofInt(-5)), 0);
        QCOMPARE(intVal(kSpin), 0);
        QCOMPARE(qt_->setCtrlVal(p1_, kSpin, Value::ofInt(std::int64_t{1} << 40)), 0);
        QCOMPARE(intVal(kSpin), 100);

        // Rings take list values only; others leave the ring unchanged.
        QCOMPARE(qt_->setCtrlVal(p1_, kRing, Value::ofInt(3)), 0);
        QCOMPARE(widget<QComboBox>(kRing)->currentIndex(), 2);
        QVERIFY(qt_->setCtrlVal(p1_, kRing, Value::ofInt(4)) < 0);
        QVERIFY(qt_->setCtrlVal(p1_, kRing, Value::ofInt(0)) < 0);
        QCOMPARE(intVal(kRing), 3);

        // Texts: the text box keeps its lines, replaced one by one.
        QCOMPARE(qt_->replaceTextBoxLine(p1_, kText, 0, "first"), 0);
        QCOMPARE(qt_->replaceTextBoxLine(p1_, kText, 1, "second\nline"), 0);
        QVERIFY(qt_->replaceTextBoxLine(p1_, kText, 5, "far") < 0);
        Value text;
        QCOMPARE(qt_->getCtrlVal(p1_, kText, text), 0);
        QCOMPARE(text.asText(), std::string("first\nsecond line"));
        // Bytes that are not UTF-8 still show, one character each.
        QCOMPARE(qt_->setCtrlVal(p1_, kLabel, Value::ofText("25\xB5m")), 0);
        QCOMPARE(widget<QLabel>(kLabel)->text(), QString::fromUtf8("25\u00B5m"));
        QCOMPARE(qt_->setCtrlVal(p1_, kLabel, Value::ofText("25\u00B5m")), 0);
        QCOMPARE(widget<QLabel>(kLabel)->text(), QString::fromUtf8("25\u00B5m"));

        // Controls without a value, and unknown ids, fail softly.
        Value v;
        QVERIFY(qt_->getCtrlVal(p1_, kButton, v) < 0);
        QVERIFY(qt_->getCtrlVal(p1_, 999, v) < 0);
        QVERIFY(qt_->setCtrlVal(999, kSpin, Value::ofInt(1)) < 0);
    }

    void dimmingAndHidingReachInnerControls() {
        auto* inner = widget<QPushButton>(kInner);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kFrame, ATTR_DIMMED, Value::ofInt(1)), 0);
        QVERIFY(!inner->isEnabled());
        Value v;
        QCOMPARE(qt_->getCtrlAttribute(p1_, kFrame, ATTR_DIMMED, v), 0);
        QCOMPARE(v.asInt(), 1);
        QCOMPARE(qt_->getCtrlAttribute(p1_, kInner, ATTR_DIMMED, v), 0);
        QCOMPARE(v.asInt(), 0); // its own state is unchanged
        QTest::mouseClick(inner, Qt::LeftButton);
        settle();
        QVERIFY(EventsOf(kInner).empty());
        QCOMPARE(qt_->setCtrlAttribute(p1_, kFrame, ATTR_DIMMED, Value::ofInt(0)), 0);
        QVERIFY(inner->isEnabled());
        QTest::mouseClick(inner, Qt::LeftButton);
        settle();
        QCOMPARE(EventsOf(kInner), (std::vector<int>{EVENT_LEFT_CLICK, EVENT_COMMIT}));

        QCOMPARE(qt_->setCtrlAttribute(p1_, kFrame, ATTR_VISIBLE, Value::ofInt(0)), 0);
        QVERIFY(!inner->isVisible());
        QCOMPARE(qt_->getCtrlAttribute(p1_, kFrame, ATTR_VISIBLE, v), 0);
        QCOMPARE(v.asInt(), 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kFrame, ATTR_VISIBLE, Value::ofInt(1)), 0);
        QVERIFY(inner->isVisible());

        // A dimmed spin box caption dims with it.
        QCOMPARE(qt_->setCtrlAttribute(p1_, kSpin, ATTR_DIMMED, Value::ofInt(1)), 0);
        QVERIFY(!qt_->panelWidget(p1_)->findChild<QLabel*>("caption")->isEnabled());
    }

    void attributesActOnTheRightParts() {
        Value v;
        // Positions are relative to the panel, also inside a container.
        QCOMPARE(qt_->getCtrlAttribute(p1_, kInner, ATTR_LEFT, v), 0);
        QCOMPARE(v.asInt(), 110);
        QCOMPARE(qt_->getCtrlAttribute(p1_, kInner, ATTR_TOP, v), 0);
        QCOMPARE(v.asInt(), 220);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kInner, ATTR_LEFT, Value::ofInt(150)), 0);
        QCOMPARE(widget<QWidget>(kInner)->x(), 50);

        // A label change reaches the visible caption.
        QCOMPARE(qt_->setCtrlAttribute(p1_, kSpin, ATTR_LABEL_TEXT, Value::ofText("OFFSET-VALUE")),
                 0);
        QCOMPARE(qt_->panelWidget(p1_)->findChild<QLabel*>("caption")->text(),
                 QStringLiteral("OFFSET-VALUE"));
        QCOMPARE(qt_->getCtrlAttribute(p1_, kSpin, ATTR_LABEL_TEXT, v), 0);
        QCOMPARE(v.asText(), std::string("OFFSET-VALUE"));

        QCOMPARE(qt_->setCtrlAttribute(p1_, kSpin, ATTR_MIN_VALUE, Value::ofInt(950)), 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kSpin, ATTR_MAX_VALUE, Value::ofInt(1000)), 0);
        QCOMPARE(qt_->getCtrlAttribute(p1_, kSpin, ATTR_MIN_VALUE, v), 0);
        QCOMPARE(v.asInt(), 950);
        QCOMPARE(intVal(kSpin), 950);

        QCOMPARE(qt_->setCtrlAttribute(p1_, kToggle, ATTR_ON_TEXT, Value::ofText("HI")), 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kToggle, ATTR_OFF_TEXT, Value::ofText("LO")), 0);
        QCOMPARE(widget<QPushButton>(kToggle)->text(), QStringLiteral("LO"));
        QVERIFY(qt_->setCtrlAttribute(p1_, kSpin, ATTR_ON_TEXT, Value::ofText("x")) < 0);

        QCOMPARE(qt_->setCtrlAttribute(p1_, kLabel, ATTR_TEXT_POINT_SIZE, Value::ofInt(18)), 0);
        QCOMPARE(widget<QLabel>(kLabel)->font().pixelSize(), 18);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kLabel, ATTR_TEXT_COLOR, Value::ofInt(0xFF0000)), 0);
        QCOMPARE(qt_->getCtrlAttribute(p1_, kLabel, ATTR_TEXT_COLOR, v), 0);
        QCOMPARE(v.asInt(), 0xFF0000);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kFrame, ATTR_FRAME_COLOR, Value::ofInt(0x0080FF)), 0);
        QVERIFY(widget<QWidget>(kFrame)->autoFillBackground());
        QCOMPARE(widget<QWidget>(kFrame)->palette().color(QPalette::Window), QColor(0, 128, 255));
    }

    void runtimeLabelsAndPictures() {
        const int id = qt_->newCtrl(p1_, CTRL_TEXT_MSG, "", 35, 300);
        QVERIFY(id > 0);
        QVERIFY(qt_->newCtrl(p1_, 999, "", 0, 0) < 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, id, ATTR_TEXT_FONT, Value::ofText(VAL_APP_META_FONT)),
                 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, id, ATTR_TEXT_POINT_SIZE, Value::ofInt(18)), 0);
        QCOMPARE(qt_->setCtrlVal(p1_, id, Value::ofText("KORVEN-Darir")), 0);
        auto* label = qobject_cast<QLabel*>(qt_->controlWidget(p1_, id));
        QVERIFY(label);
        QVERIFY(label->isVisible());
        QCOMPARE(label->pos(), QPoint(300, 35));
        QCOMPARE(label->text(), QStringLiteral("KORVEN-Darir"));
        // The label grows with its text, so nothing is cut.
        QVERIFY(label->width() >= label->sizeHint().width());

        QImage image(12, 7, QImage::Format_RGB32);
        image.fill(Qt::blue);
        QVERIFY(image.save(dir_.filePath("logo.png")));
        QCOMPARE(qt_->displayImageFile(p1_, kPicture, dir_.filePath("logo.png").toStdString()), 0);
        QCOMPARE(widget<QLabel>(kPicture)->size(), QSize(12, 7));
        QVERIFY(qt_->displayImageFile(p1_, kPicture, dir_.filePath("none.png").toStdString()) < 0);
        QVERIFY(qt_->displayImageFile(p1_, kSpin, dir_.filePath("logo.png").toStdString()) < 0);
    }

    void closeBoxOnlyReports() {
        QWidget* window = qt_->panelWidget(p1_);
        QVERIFY(window->isVisible());
        window->close();
        settle();
        QCOMPARE(Calls(), (std::vector<Call>{{p1_, 0, EVENT_CLOSE}}));
        QVERIFY(window->isVisible());
        QCOMPARE(qt_->hidePanel(p1_), 0);
        QVERIFY(!window->isVisible());
    }

    void eventLoopEndsOnQuit() {
        QTimer::singleShot(20, [this] { qt_->quitUserInterface(7); });
        QCOMPARE(qt_->runUserInterface(), 7);
        // A quit before the loop starts ends the next loop at once.
        qt_->quitUserInterface(3);
        QCOMPARE(qt_->runUserInterface(), 3);
        // Callbacks run inside the event loop too.
        QTest::mouseClick(widget<QPushButton>(kButton), Qt::LeftButton);
        QTimer::singleShot(50, [this] { qt_->quitUserInterface(0); });
        QCOMPARE(qt_->runUserInterface(), 0);
        QCOMPARE(EventsOf(kButton), (std::vector<int>{EVENT_LEFT_CLICK, EVENT_COMMIT}));
    }

    void fileDialogAnswersLikeTheEngine() {
        QTemporaryDir files;
        QFile existing(files.filePath(QStringLiteral("KRVNpara.dat")));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.close();
        korven::rt::FileDialogRequest request;
        request.defaultDirectory = files.path().toStdString();
        request.defaultFileSpec = "KRVNpara.dat";
        request.fileTypeList = "*.dat";
        request.title = "KORVEN-Parameter-File";
        request.buttonLabel = VAL_LOAD_BUTTON;

        // Answers the dialog once it is up: accept (with a typed name) or cancel.
        QString acceptLabel, title, directory;
        QStringList types; // the name filters offered
        QStringList* typesSeen = &types;
        auto answer = [&](const QString& name, bool accept) {
            auto* timer = new QTimer;
            QObject::connect(timer, &QTimer::timeout, [=, &acceptLabel, &title, &directory] {
                auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                if (!dialog) {
                    return;
                }
                timer->stop();
                timer->deleteLater();
                acceptLabel = dialog->labelText(QFileDialog::Accept);
                title = dialog->windowTitle();
                directory = dialog->directory().absolutePath();
                *typesSeen = dialog->nameFilters();
                if (!name.isEmpty()) {
                    // Type the name as an operator would; selectFile() races
                    // with the dialog's own directory listing.
                    if (auto* edit =
                            dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
                        edit->setText(name);
                    } else {
                        dialog->selectFile(name);
                    }
                }
                QDialog* box = dialog; // accept() is public on QDialog
                accept ? box->accept() : box->reject();
            });
            timer->start(20);
        };

        answer({}, true);
        auto result = qt_->fileSelectPopup(request);
        QCOMPARE(result.status, VAL_EXISTING_FILE_SELECTED);
        QCOMPARE(QString::fromStdString(result.path),
                 QDir::toNativeSeparators(existing.fileName()));
        QCOMPARE(acceptLabel, QStringLiteral("Load"));
        QCOMPARE(title, QStringLiteral("KORVEN-Parameter-File"));
        QCOMPARE(directory, QDir(files.path()).absolutePath());

        // A new name gets the filter's extension. The name is the proposed
        // one, so nothing races with the dialog's own directory listing.
        request.buttonLabel = VAL_OK_BUTTON;
        request.defaultFileSpec = "second";
        answer({}, true);
        result = qt_->fileSelectPopup(request);
        QCOMPARE(result.status, VAL_NEW_FILE_SELECTED);
        QVERIFY(QString::fromStdString(result.path).endsWith(QStringLiteral("second.dat")));
        QCOMPARE(acceptLabel, QStringLiteral("OK"));

        answer({}, false);
        result = qt_->fileSelectPopup(request);
        QCOMPARE(result.status, VAL_NO_FILE_SELECTED);

        // Restricted to the extension, the dialog offers no other and takes
        // no name typed with another; unrestricted, it offers all files.
        QCOMPARE(types, (QStringList{QStringLiteral("*.dat"), QStringLiteral("*")}));
        request.restrictExtension = true;
        answer(QStringLiteral("other.txt"), true);
        result = qt_->fileSelectPopup(request);
        QVERIFY(result.status < 0);
        QCOMPARE(types, QStringList{QStringLiteral("*.dat")});

        // A folder that can be read but not written is still where the
        // dialog starts (loading needs no more).
        const QFileInfo readOnly(QStringLiteral("/proc/self"));
        if (readOnly.isDir() && readOnly.isReadable() && !readOnly.isWritable()) {
            request.defaultDirectory = "/proc/self";
            answer({}, false);
            qt_->fileSelectPopup(request);
            QVERIFY2(directory.startsWith(QStringLiteral("/proc/")), qPrintable(directory));
        }

        // A start directory that does not exist falls back to the documents
        // folder (or home, when there is none).
        request.defaultDirectory = files.filePath(QStringLiteral("gone")).toStdString();
        answer({}, false);
        qt_->fileSelectPopup(request);
        QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        if (!QFileInfo(documents).isDir()) {
            documents = QDir::homePath();
        }
        QCOMPARE(directory, QDir(documents).absolutePath());
    }

    void idleEventProcessingWaitsInsteadOfSpinning() {
        settle();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 40; ++i) {
            qt_->processSystemEvents();
        }
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        QVERIFY2(ms >= 20.0, qPrintable(QStringLiteral("40 idle passes took %1 ms").arg(ms)));
        QVERIFY2(ms < 2000.0, qPrintable(QStringLiteral("40 idle passes took %1 ms").arg(ms)));
    }
};

int RunPanelTests(int argc, char** argv) {
    PanelTests t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_qt_panels.moc"
