// What the Qt back end costs while a loop runs: bytes paced at the line's
// speed wake the event passes a few times per frame rather than once per
// byte, an idle pass sleeps (but not for long), and a value set again
// unchanged paints nothing.
#include "tests/qt/qt_fixture.h"

#include <QTest>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <pty.h>
#include <thread>
#include <unistd.h>
#include <vector>

using korven::rt::ComSettings;
using korven::rt::Value;
using korven::rt::qt::QtBackend;

namespace {

using Clock = std::chrono::steady_clock;

int notifications = 0;
void Count(int /*port*/, int /*mask*/, void* /*data*/) {
    ++notifications;
}

// Counts the paint events of a widget and its children.
class PaintCounter : public QObject {
  public:
    explicit PaintCounter(QWidget* root) {
        root->installEventFilter(this);
        for (QWidget* w : root->findChildren<QWidget*>()) {
            w->installEventFilter(this);
        }
    }
    int paints = 0;

  protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

void Settle() {
    for (int i = 0; i < 3; ++i) {
        QTest::qWait(20);
    }
}

} // namespace

class ReadPathTests : public qtfix::TestFormBase {
    Q_OBJECT

  private slots:
    void pacedBytesCostAFewPassesPerFrame() {
        struct Case {
            const char* what;
            int bytes;
            bool notify; // a 36-byte receive notification, or a polled block
        };
        const Case cases[] = {{"one answer", 36, true},
                              {"three answers back to back", 108, true},
                              {"a video block, polled", 128, false}};
        for (const Case& c : cases) {
            int master = -1;
            int slave = -1;
            char name[256] = {};
            QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
            qt_->mapPort(9, QString::fromLocal8Bit(name));
            QCOMPARE(qt_->openCom(9, ComSettings{}), 0);
            if (c.notify) {
                QCOMPARE(qt_->installComCallback(9, LWRS_RECEIVE, 36, 0, &Count, nullptr), 0);
            }
            notifications = 0;
            // One byte every 0.521 ms, as the line at 19200 baud delivers them.
            std::thread sensor([master, n = c.bytes] {
                const std::uint8_t b = 0x55;
                for (int i = 0; i < n; ++i) {
                    (void)::write(master, &b, 1);
                    std::this_thread::sleep_for(std::chrono::microseconds(521));
                }
            });
            int passes = 0;
            const auto start = Clock::now();
            auto done = [&] {
                return c.notify ? notifications == c.bytes / 36 : qt_->getInQLen(9) >= c.bytes;
            };
            while (!done() && Clock::now() - start < std::chrono::seconds(3)) {
                qt_->processSystemEvents();
                ++passes;
            }
            sensor.join();
            QVERIFY2(done(), c.what);
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            qInfo("%s: %d passes in %.1f ms", c.what, passes, ms);
            // A pass per byte, or an idle wait of a millisecond, would take
            // about `bytes` passes, or `ms`, at least; the sensor thread runs
            // slower than the line on a busy machine.
            QVERIFY2(passes <= c.bytes / 2 + static_cast<int>(ms / 5),
                     qPrintable(QStringLiteral("%1: %2 passes").arg(c.what).arg(passes)));
            QCOMPARE(qt_->closeCom(9), 0);
            ::close(master);
            ::close(slave);
        }
    }

    void idlePassesSleepButKeepTheLoopsClock() {
        for (int i = 0; i < 3; ++i) {
            qt_->processSystemEvents(); // whatever is still pending
        }
        constexpr int kPasses = 10;
        std::vector<double> ms;
        for (int i = 0; i < kPasses; ++i) {
            const auto start = Clock::now();
            qt_->processSystemEvents();
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        double total = 0;
        for (double m : ms) {
            total += m;
            QVERIFY2(m < 250.0, qPrintable(QString::number(m))); // no long sleep
        }
        QVERIFY2(total >= kPasses * 4.0, qPrintable(QString::number(total))); // no spinning
    }

    void unchangedValuesPaintNothing() {
        struct Case {
            int control;
            Value value;
        };
        const Case cases[] = {{qtfix::kSpin, Value::ofInt(7)},
                              {qtfix::kFloat, Value::ofDouble(2.5)},
                              {qtfix::kDouble, Value::ofDouble(1.25)},
                              {qtfix::kRing, Value::ofInt(2)},
                              {qtfix::kToggle, Value::ofInt(1)},
                              {qtfix::kCheck, Value::ofInt(1)},
                              {qtfix::kLabel, Value::ofText("Line Ok!")},
                              {qtfix::kText, Value::ofText("a\nb")}};
        for (const Case& c : cases) {
            QCOMPARE(qt_->setCtrlVal(p1_, c.control, c.value), 0);
            Settle();
            PaintCounter counter(qt_->controlWidget(p1_, c.control));
            for (int i = 0; i < 3; ++i) {
                QCOMPARE(qt_->setCtrlVal(p1_, c.control, c.value), 0);
                Settle();
            }
            QVERIFY2(
                counter.paints == 0,
                qPrintable(
                    QStringLiteral("control %1: %2 paints").arg(c.control).arg(counter.paints)));
        }
    }
};

int RunReadPathTests(int argc, char** argv) {
    ReadPathTests t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_qt_read_path.moc"
