// The plot widget the layout file's "QCustomPlot" elements become: a
// QCustomPlot whose bottom drawing buffer is opaque, filled with the plot's
// background when it is cleared.
//
// A plain QCustomPlot clears its buffer to transparent before each drawing,
// then on every paint fills the widget with its background and blends the
// buffer on top: three passes over every pixel for one picture. Here the
// clear fills the background and the paint copies the buffer, two passes;
// on a graph filling a large screen that is most of what a drawing costs.
// Exports (PNG, PDF) are drawn by QCustomPlot as before.
#pragma once

#include <qcustomplot.h>

namespace korven::rt::qt {

class Plot : public QCustomPlot {
  public:
    explicit Plot(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    // Whether the background is one solid, opaque colour: only then can it
    // stand in the buffer instead of being painted beneath it.
    bool opaqueBackground() const;

    class OpaqueBuffer;
};

} // namespace korven::rt::qt
