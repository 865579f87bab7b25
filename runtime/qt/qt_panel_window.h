// The window of one panel: the panel's widgets as the layout file builds
// them, in a scroll area. Above its designed size the panel grows as its
// widgets' "stretch" properties say; below it, the window scrolls, so that
// every control stays within reach on any screen. Placing windows on the
// screen (fitting, centring on another window, remembering) is here too.
#pragma once

#include "runtime/layout.h"

#include <QByteArray>
#include <QPointer>
#include <QRect>
#include <QScrollArea>
#include <QSize>

#include <memory>
#include <utility>
#include <vector>

namespace korven::rt::qt {

class PanelWindow : public QScrollArea {
    Q_OBJECT

  public:
    // Takes the built form of `panel` (the panel's top widget); `tree` is
    // the layout file the panel was read from.
    PanelWindow(std::unique_ptr<QWidget> form, const LayoutPanel& panel,
                std::shared_ptr<const FormNode> tree);

    QWidget* form() const { return form_; }
    QSize designedSize() const { return designed_; }
    bool resizable() const { return resizable_; }

    // Gives the window a size and place that fit on `available` (a screen's
    // free area, in logical pixels): the panel's whole size where it fits,
    // else as much as fits. Centred on `over` when given, else on the area.
    void fitOn(const QRect& available, const QRect& over = {});

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void arrange(const QSize& size);

    QWidget* form_ = nullptr;
    QSize designed_;
    bool resizable_ = false;
    // The stretching widgets, each with its index in the form's placements.
    std::vector<std::pair<std::size_t, QPointer<QWidget>>> stretching_;
    const FormNode* formNode_ = nullptr;
    std::shared_ptr<const FormNode> tree_;
    QRect fitArea_, fitOver_;
    bool refitPending_ = false;
};

// A key for the set of screens now attached (their names, places and
// scales), under which window places are remembered: a window placed on
// one desk is not carried onto another.
QString ScreenSetupKey();

} // namespace korven::rt::qt
