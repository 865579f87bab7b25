#include "runtime/qt/qt_plot.h"

namespace korven::rt::qt {

class Plot::OpaqueBuffer final : public QCPPaintBufferPixmap {
  public:
    OpaqueBuffer(const Plot& plot, const QSize& size, double devicePixelRatio)
        : QCPPaintBufferPixmap(size, devicePixelRatio), plot_(plot) {}

    // QCustomPlot clears its buffers to transparent before it draws the
    // layers into them; the bottom one starts from the background instead.
    void clear(const QColor& colour) override {
        QCPPaintBufferPixmap::clear(plot_.opaqueBackground() ? plot_.mBackgroundBrush.color()
                                                             : colour);
    }

  private:
    const Plot& plot_;
};

Plot::Plot(QWidget* parent) : QCustomPlot(parent) {
    // The buffers are made at the first drawing, in order from the bottom;
    // one placed here first is kept as the bottom one from then on.
    mPaintBuffers.clear();
    mPaintBuffers.append(QSharedPointer<QCPAbstractPaintBuffer>(
        new OpaqueBuffer(*this, viewport().size(), bufferDevicePixelRatio())));
}

bool Plot::opaqueBackground() const {
    return mBackgroundBrush.style() == Qt::SolidPattern && mBackgroundBrush.isOpaque() &&
           mBackgroundPixmap.isNull() && !openGl();
}

void Plot::paintEvent(QPaintEvent* event) {
    if (!opaqueBackground()) {
        QCustomPlot::paintEvent(event);
        return;
    }
    // As QCustomPlot paints, without the background beneath the buffers:
    // the bottom one holds it. Between a resize and the drawing that
    // follows it the buffer still has the old size, and what it does not
    // cover is painted with the background as QCustomPlot does.
    QCPPainter painter(this);
    if (painter.isActive()) {
        if (mPaintBuffers.isEmpty() || mPaintBuffers.first()->size() != mViewport.size()) {
            painter.fillRect(mViewport, mBackgroundBrush);
        }
        for (const QSharedPointer<QCPAbstractPaintBuffer>& buffer : mPaintBuffers) {
            buffer->draw(&painter);
        }
    }
}

} // namespace korven::rt::qt
