#include "runtime/qt/qt_panel_window.h"

#include <QCryptographicHash>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QStringList>
#include <QTimer>

#include <algorithm>

namespace korven::rt::qt {

PanelWindow::PanelWindow(std::unique_ptr<QWidget> form, const LayoutPanel& panel,
                         std::shared_ptr<const FormNode> tree)
    : designed_(form->size()), resizable_(panel.resizable), formNode_(panel.form),
      tree_(std::move(tree)) {
    form_ = form.release();
    setObjectName(form_->objectName());
    setWindowTitle(form_->windowTitle());
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    form_->setMinimumSize(designed_);
    if (!resizable_) {
        form_->setMaximumSize(designed_);
    }
    setWidget(form_);
    form_->installEventFilter(this);
    if (formNode_) {
        const std::vector<Placement> placed =
            ArrangeForm(*formNode_, designed_.width(), designed_.height());
        for (std::size_t i = 0; i < placed.size(); ++i) {
            if (!placed[i].stretches) {
                continue;
            }
            const QString name = QString::fromStdString(placed[i].name);
            if (auto* w = form_->findChild<QWidget*>(name)) {
                stretching_.emplace_back(i, w);
            }
        }
    }
    resize(designed_);
    setMaximumSize(resizable_ ? QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX) : designed_);
}

void PanelWindow::arrange(const QSize& size) {
    if (!formNode_ || stretching_.empty()) {
        return;
    }
    const std::vector<Placement> placed = ArrangeForm(*formNode_, size.width(), size.height());
    for (const auto& [index, widget] : stretching_) {
        if (widget && index < placed.size()) {
            const Rect& r = placed[index].inParent;
            widget->setGeometry(r.x, r.y, r.width, r.height);
        }
    }
}

bool PanelWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == form_ && event->type() == QEvent::Resize) {
        arrange(form_->size());
    }
    return QScrollArea::eventFilter(watched, event);
}

void PanelWindow::fitOn(const QRect& available, const QRect& over) {
    fitArea_ = available;
    fitOver_ = over;
    // The frame the window system draws around the window: known once the
    // window was shown, estimated before.
    const QRect frame = frameGeometry();
    const QRect inner = geometry();
    QMargins margins(inner.left() - frame.left(), inner.top() - frame.top(),
                     frame.right() - inner.right(), frame.bottom() - inner.bottom());
    const QSize room = available.size().shrunkBy(margins);
    const QSize want = isVisible() ? size() : designed_;
    const QSize size(std::min(want.width(), room.width()), std::min(want.height(), room.height()));
    resize(size);
    const QSize outer = size.grownBy(margins);
    const QRect centreOn = over.isValid() ? over : available;
    QPoint topLeft = centreOn.center() - QPoint(outer.width() / 2, outer.height() / 2);
    topLeft.setX(std::clamp(topLeft.x(), available.left(), available.right() + 1 - outer.width()));
    topLeft.setY(std::clamp(topLeft.y(), available.top(), available.bottom() + 1 - outer.height()));
    move(topLeft); // move() places the frame's corner
}

void PanelWindow::showEvent(QShowEvent* event) {
    QScrollArea::showEvent(event);
    // The real frame is known only now: fit once more with it.
    if (fitArea_.isValid() && !refitPending_) {
        refitPending_ = true;
        QTimer::singleShot(0, this, [this] {
            refitPending_ = false;
            const QRect frame = frameGeometry();
            if (!fitArea_.contains(frame)) {
                fitOn(fitArea_, fitOver_);
            }
        });
    }
}

QString ScreenSetupKey() {
    QStringList screens;
    for (const QScreen* s : QGuiApplication::screens()) {
        const QRect g = s->geometry();
        screens << QStringLiteral("%1:%2,%3,%4x%5@%6")
                       .arg(s->name())
                       .arg(g.x())
                       .arg(g.y())
                       .arg(g.width())
                       .arg(g.height())
                       .arg(s->devicePixelRatio());
    }
    screens.sort();
    const QByteArray hash =
        QCryptographicHash::hash(screens.join(QLatin1Char(';')).toUtf8(), QCryptographicHash::Sha1);
    return QString::fromLatin1(hash.toHex().left(12));
}

} // namespace korven::rt::qt
