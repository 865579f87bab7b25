// Shared pieces of the Qt back-end tests: a small test form with one
// control of every kind (test_form.uir), a registry for its names, and a
// recorder of the callbacks it raises.
#pragma once

#include "runtime/layout.h"
#include "runtime/qt/qt_backend.h"

#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <string>
#include <vector>

namespace qtfix {

// Control ids of the test form.
enum : int {
    kButton = 1,
    kToggle = 2,
    kRadio = 3,
    kCheck = 4,
    kSpin = 5,
    kFloat = 6,
    kRing = 7,
    kText = 8,
    kLabel = 9,
    kFrame = 10,
    kInner = 11,
    kGraph = 12,
    kStrip = 13,
    kPicture = 14,
    kDouble = 15,
    kOther = 20,
};

struct Call {
    int panel = 0;
    int control = 0; // 0 for the panel callback
    int event = 0;
    bool operator==(const Call&) const = default;
};

// Every callback of the test form, in order.
std::vector<Call>& Calls();
// Events recorded for one control.
std::vector<int> EventsOf(int control);

const korven::rt::LayoutRegistry& TestRegistry();

// Writes the test form into dir and returns its path.
QString WriteTestForm(const QTemporaryDir& dir);

// Base of the test classes that work on the test form: each test function
// gets a fresh Qt back end with panel 1 of the form loaded and shown, and
// an empty callback record.
class TestFormBase : public QObject {
    Q_OBJECT

  protected:
    std::unique_ptr<korven::rt::qt::QtBackend> qt_;
    QTemporaryDir dir_;
    int p1_ = 0;

    // Lets queued callbacks run.
    void settle();

  private:
    const korven::rt::LayoutRegistry* previous_ = nullptr;

  private slots:
    void init();
    void cleanup();
};

// Base of the test classes that run the program itself: each test
// function gets the program's layout registry, and no back end is left
// behind after it.
class ProgramTestBase : public QObject {
    Q_OBJECT

  private:
    const korven::rt::LayoutRegistry* previous_ = nullptr;

  private slots:
    void init();
    void cleanup();
};

// The program's status line.
std::string StatusText();

} // namespace qtfix
