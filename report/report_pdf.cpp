// The report's pages: a column of blocks (lines of text, tables in a fixed
// font, the two pictures, the signature line) laid out onto A4 pages
// first, so that every page can say "page n of m", then painted.
#include "report/report_pdf.h"

#include "analysis/compare.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace korven::report {

namespace {

using record::SetupRecord;

// Page geometry in points (1/72 inch): A4 with 42 pt margins; a header
// band and a footer band on every page.
constexpr double kPageW = 595.0;
constexpr double kPageH = 842.0;
constexpr double kMargin = 42.0;
constexpr double kTop = kMargin + 30.0;
constexpr double kBottom = kPageH - kMargin - 24.0;
constexpr double kWidth = kPageW - 2 * kMargin;
constexpr int kResolution = 300;
constexpr double kPictureHeight = 200.0;

const QColor kRed(0xFF, 0x00, 0x00);
const QColor kDarkGreen(0x00, 0x80, 0x00);
const QColor kOrange(0xE0, 0x80, 0x00);
const QColor kGrey(0xA0, 0xA0, 0xA0);

struct Block {
    enum class Kind { Title, Heading, Text, Bold, Mono, Chart, Video, Signature };
    Kind kind = Kind::Text;
    QString text;
    double height = 0.0;
};

QFont FontFor(Block::Kind kind) {
    QFont f(kind == Block::Kind::Mono ? QStringLiteral("DejaVu Sans Mono")
                                      : QStringLiteral("DejaVu Sans"));
    if (kind == Block::Kind::Mono) {
        f.setStyleHint(QFont::TypeWriter);
    }
    // No ligatures: "fi" stays two letters, so that a search for the
    // report's words finds them.
    f.setStyleStrategy(QFont::PreferNoShaping);
    // Pixel sizes are points here: the painter is scaled to points.
    switch (kind) {
    case Block::Kind::Title:
        f.setPixelSize(17);
        f.setBold(true);
        break;
    case Block::Kind::Heading:
        f.setPixelSize(12);
        f.setBold(true);
        break;
    case Block::Kind::Mono:
        f.setPixelSize(8);
        break;
    case Block::Kind::Bold:
        f.setPixelSize(10);
        f.setBold(true);
        break;
    default:
        f.setPixelSize(9);
        break;
    }
    return f;
}

QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QString Fixed(double v, int decimals) {
    return std::isfinite(v) ? QString::number(v, 'f', decimals) : QStringLiteral("-");
}

class Column {
  public:
    void add(Block::Kind kind, const QString& text) {
        const double line = kind == Block::Kind::Title     ? 26.0
                            : kind == Block::Kind::Heading ? 22.0
                            : kind == Block::Kind::Mono    ? 10.5
                                                           : 12.5;
        // Long text wraps at word boundaries within the page's width.
        const QFontMetricsF metrics(FontFor(kind));
        for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
            QString current;
            for (const QString& word : paragraph.split(QLatin1Char(' '))) {
                const QString wider = current.isEmpty() ? word : current + QLatin1Char(' ') + word;
                if (!current.isEmpty() && metrics.horizontalAdvance(wider) > kWidth) {
                    blocks_.push_back({kind, current, line});
                    current = word;
                } else {
                    current = wider;
                }
            }
            blocks_.push_back({kind, current, line});
        }
    }
    void picture(Block::Kind kind, const QString& caption) {
        blocks_.push_back({kind, caption, kPictureHeight + 10.0});
    }
    void signature() { blocks_.push_back({Block::Kind::Signature, {}, 70.0}); }

    // The blocks of each page: a heading never ends a page.
    std::vector<std::vector<Block>> pages() const {
        std::vector<std::vector<Block>> out(1);
        double y = kTop;
        for (std::size_t i = 0; i < blocks_.size(); ++i) {
            const Block& b = blocks_[i];
            double need = b.height;
            if (b.kind == Block::Kind::Heading && i + 1 < blocks_.size()) {
                need += blocks_[i + 1].height;
            }
            if (y + need > kBottom && !out.back().empty()) {
                out.emplace_back();
                y = kTop;
            }
            out.back().push_back(b);
            y += b.height;
        }
        return out;
    }

  private:
    std::vector<Block> blocks_;
};

// ---- Content ---------------------------------------------------------------

void Identity(Column& c, const SetupRecord& r) {
    c.add(Block::Kind::Heading, QStringLiteral("Sensor"));
    const record::Identity& id = r.identity;
    if (!id.known) {
        c.add(Block::Kind::Text,
              QStringLiteral("No sensor identified itself since the program started."));
        return;
    }
    c.add(Block::Kind::Text, QStringLiteral("Port: COM%1").arg(id.port));
    c.add(Block::Kind::Text, QStringLiteral("Board: %1   CCD type: %2   Resolution: %3   Pixels: "
                                            "%4   Sub-pixels: %5   Firmware number: %6")
                                 .arg(id.board)
                                 .arg(id.type)
                                 .arg(id.resolution)
                                 .arg(id.pixels)
                                 .arg(id.subpixels)
                                 .arg(id.firmwareNo));
    c.add(Block::Kind::Text,
          QStringLiteral("Firmware: ") +
              (id.firmware.empty() ? QStringLiteral("(no firmware text came)") : Q(id.firmware)));
    for (const std::string& line : id.description) {
        if (!line.empty()) {
            c.add(Block::Kind::Text, QStringLiteral("Description: ") + Q(line));
        }
    }
}

QString SetLine(const char* title, const record::ParameterSet& s) {
    if (!s.valid) {
        return QStringLiteral("%1: not read").arg(QLatin1String(title));
    }
    return QStringLiteral("%1: %2 %3, %4")
        .arg(QLatin1String(title), QLatin1String(record::MemoryName(s.memory)), Q(s.how),
             Q(s.time));
}

void Parameters(Column& c, const SetupRecord& r) {
    c.add(Block::Kind::Heading, QStringLiteral("Parameter sets"));
    const record::ParameterSet& found = record::FoundFor(r, r.asLeft.memory);
    const std::vector<int> changed = record::ChangedWords(found, r.asLeft);
    const auto cell = [](const record::ParameterSet& s, int k) {
        return s.valid ? QString::number(s.words[static_cast<std::size_t>(k)])
                       : QStringLiteral("-");
    };
    c.add(Block::Kind::Mono, QStringLiteral("%1 %2 %3 %4 %5")
                                 .arg(QStringLiteral("Word"), -5)
                                 .arg(QStringLiteral("Name"), -22)
                                 .arg(QStringLiteral("RAM found"), 12)
                                 .arg(QStringLiteral("EEPROM found"), 13)
                                 .arg(QStringLiteral("As left"), 12));
    for (int k = 0; k < analysis::kParameterWords; ++k) {
        const bool mark = std::find(changed.begin(), changed.end(), k) != changed.end();
        c.add(Block::Kind::Mono, QStringLiteral("%1 %2 %3 %4 %5%6")
                                     .arg(k, -5)
                                     .arg(QLatin1String(analysis::kParameterNames[k]), -22)
                                     .arg(cell(r.ramFound, k), 12)
                                     .arg(cell(r.eepromFound, k), 13)
                                     .arg(cell(r.asLeft, k), 11)
                                     .arg(mark ? QStringLiteral("*") : QStringLiteral(" ")));
    }
    c.add(Block::Kind::Text, SetLine("RAM as found", r.ramFound));
    c.add(Block::Kind::Text, SetLine("EEPROM as found", r.eepromFound));
    c.add(Block::Kind::Text, SetLine("As left", r.asLeft));
    if (r.asLeft.valid && found.valid) {
        QStringList names;
        for (int k : changed) {
            names << QStringLiteral("%1 %2").arg(k).arg(
                QLatin1String(analysis::kParameterNames[k]));
        }
        c.add(Block::Kind::Text, QStringLiteral("Changed words (marked *, against %1 as found): %2")
                                     .arg(QLatin1String(record::MemoryName(found.memory)),
                                          names.isEmpty() ? QStringLiteral("none")
                                                          : names.join(QStringLiteral(", "))));
    } else {
        c.add(Block::Kind::Text,
              QStringLiteral("Changed words: not known (a set as found or as left is missing)"));
    }
}

void CalibrationSection(Column& c, const SetupRecord& r, double tolerance) {
    c.add(Block::Kind::Heading, QStringLiteral("Calibration"));
    const record::Calibration& cal = r.calibration;
    if (!cal.made) {
        c.add(Block::Kind::Text,
              QStringLiteral("No calibration was loaded into the sensor since the program "
                             "started."));
        return;
    }
    const record::Verdict v = record::Judge(cal, tolerance);
    c.add(Block::Kind::Text, QStringLiteral("Loaded into RAM: ") + Q(cal.time));
    c.add(Block::Kind::Text, QStringLiteral("Fit: size = %1 µm per sub-pixel × raw %2 %3 µm")
                                 .arg(Fixed(cal.fitSlope, 6),
                                      cal.fitOffset < 0 ? QStringLiteral("−") : QStringLiteral("+"),
                                      Fixed(std::fabs(cal.fitOffset), 2)));
    c.add(Block::Kind::Text, QStringLiteral("Words sent: slope %1 (%2 = 1.0), intercept %3; "
                                            "held by the sensor: slope %4, intercept %5")
                                 .arg(cal.slopeWord)
                                 .arg(cal.slopeScale)
                                 .arg(cal.interceptWord)
                                 .arg(cal.slopeHeld)
                                 .arg(cal.interceptHeld));
    c.add(Block::Kind::Mono, QStringLiteral("%1 %2 %3 %4 %5 %6  %7")
                                 .arg(QStringLiteral("Object"), -7)
                                 .arg(QStringLiteral("Reference µm"), 13)
                                 .arg(QStringLiteral("Raw before"), 11)
                                 .arg(QStringLiteral("Reading µm"), 11)
                                 .arg(QStringLiteral("Deviation µm"), 13)
                                 .arg(QStringLiteral("Result"), 7)
                                 .arg(QStringLiteral("Reading taken")));
    for (int i = 0; i < 2; ++i) {
        const record::ObjectReading& a = cal.after[i];
        c.add(
            Block::Kind::Mono,
            QStringLiteral("%1 %2 %3 %4 %5 %6  %7")
                .arg(i + 1, -7)
                .arg(Fixed(cal.points[i].referenceUm, 0), 13)
                .arg(Fixed(cal.points[i].raw, 0), 11)
                .arg(Fixed(a.um, 0), 11)
                .arg(Fixed(v.deviation[i], 0), 13)
                .arg(v.judged ? (v.objectPass[i] ? QStringLiteral("pass") : QStringLiteral("FAIL"))
                              : QStringLiteral("-"),
                     7)
                .arg(a.measured
                         ? QStringLiteral("measured ") + Q(a.time)
                         : QStringLiteral("computed from the words, raw %1").arg(Fixed(a.raw, 0))));
    }
    c.add(Block::Kind::Text, QStringLiteral("Before adjustment the objects read as their raw "
                                            "values above; a reading not measured again is what "
                                            "the sensor reports for the accepted raw value with "
                                            "the words it holds."));
    c.add(Block::Kind::Text, QStringLiteral("Tolerance: %1 µm. Decision rule: %2.")
                                 .arg(Fixed(tolerance, 1), QLatin1String(record::kDecisionRule)));
    c.add(Block::Kind::Bold,
          QStringLiteral("Verdict: ") +
              (v.judged ? (v.pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"))
                        : QStringLiteral("not judged (no valid tolerance)")));
}

void StatisticsSection(Column& c, const SetupRecord& r) {
    c.add(Block::Kind::Heading, QStringLiteral("Statistics of the last run"));
    if (r.statistics.answers == 0) {
        c.add(Block::Kind::Text, QStringLiteral("No run answers since the statistics started."));
        return;
    }
    for (const std::string& line : r.statistics.lines) {
        c.add(Block::Kind::Mono, Q(line));
    }
}

void Pictures(Column& c, const SetupRecord& r) {
    c.add(Block::Kind::Heading, QStringLiteral("Strip chart"));
    if (r.chart.answers.empty()) {
        c.add(Block::Kind::Text, QStringLiteral("No answers drawn since the program started."));
    } else {
        c.picture(Block::Kind::Chart, QStringLiteral("The last %1 answers, positions in sub-pixels")
                                          .arg(r.chart.answers.size()));
    }
    c.add(Block::Kind::Heading, QStringLiteral("Video line"));
    if (!r.video.valid) {
        c.add(Block::Kind::Text, QStringLiteral("No video line read since the program started."));
    } else {
        c.picture(Block::Kind::Video, QStringLiteral("Read ") + Q(r.video.time) +
                                          QStringLiteral(", threshold ") +
                                          Fixed(r.video.threshold, 0));
    }
}

// ---- Painting -------------------------------------------------------------

struct Series {
    std::vector<double> x, y;
    QColor colour;
    QString name;
    Qt::PenStyle style = Qt::SolidLine;
};

void Plot(QPainter& p, const QRectF& box, const std::vector<Series>& all, const QString& xLabel,
          const QString& yLabel, double yMin, double yMax) {
    double xMin = 0.0, xMax = 1.0;
    bool first = true;
    for (const Series& s : all) {
        for (double x : s.x) {
            xMin = first ? x : std::min(xMin, x);
            xMax = first ? x : std::max(xMax, x);
            first = false;
        }
    }
    if (xMax <= xMin) {
        xMax = xMin + 1.0;
    }
    if (yMax <= yMin) {
        yMax = yMin + 1.0;
    }
    const QRectF area = box.adjusted(46, 6, -6, -30);
    const auto at = [&](double x, double y) {
        return QPointF(area.left() + (x - xMin) / (xMax - xMin) * area.width(),
                       area.bottom() -
                           (std::clamp(y, yMin, yMax) - yMin) / (yMax - yMin) * area.height());
    };
    p.setFont(FontFor(Block::Kind::Mono));
    p.setPen(QPen(kGrey, 0.4));
    for (int k = 0; k <= 4; ++k) {
        const double y = yMin + (yMax - yMin) * k / 4.0;
        const QPointF left = at(xMin, y);
        p.drawLine(left, QPointF(area.right(), left.y()));
        p.setPen(Qt::black);
        p.drawText(QRectF(box.left(), left.y() - 6, 42, 12), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(y, 'f', 0));
        const double x = xMin + (xMax - xMin) * k / 4.0;
        p.drawText(QRectF(at(x, yMin).x() - 30, area.bottom() + 2, 60, 10), Qt::AlignHCenter,
                   QString::number(x, 'f', 0));
        p.setPen(QPen(kGrey, 0.4));
    }
    p.setPen(QPen(Qt::black, 0.6));
    p.drawRect(area);
    p.drawText(QRectF(area.left(), area.bottom() + 12, area.width(), 10), Qt::AlignHCenter, xLabel);
    p.save();
    p.translate(box.left() + 6, area.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-area.height() / 2, -6, area.height(), 10), Qt::AlignHCenter, yLabel);
    p.restore();
    double legend = area.left();
    for (const Series& s : all) {
        QPainterPath path;
        for (std::size_t i = 0; i < s.x.size() && i < s.y.size(); ++i) {
            if (i == 0) {
                path.moveTo(at(s.x[i], s.y[i]));
            } else {
                path.lineTo(at(s.x[i], s.y[i]));
            }
        }
        p.setPen(QPen(s.colour, 0.9, s.style));
        p.drawPath(path);
        const double y = box.bottom() - 4;
        p.drawLine(QPointF(legend, y - 3), QPointF(legend + 14, y - 3));
        p.setPen(Qt::black);
        const QFontMetricsF m(p.font());
        p.drawText(QPointF(legend + 17, y), s.name);
        legend += 24 + m.horizontalAdvance(s.name);
    }
}

void Chart(QPainter& p, const QRectF& box, const SetupRecord& r) {
    const QColor colours[] = {kDarkGreen, kDarkGreen, Qt::black, kRed, kOrange};
    const Qt::PenStyle styles[] = {Qt::DashLine, Qt::DashLine, Qt::SolidLine, Qt::SolidLine,
                                   Qt::DotLine};
    std::vector<Series> all;
    double lo = 0.0, hi = 0.0;
    bool first = true;
    for (int t = 0; t < record::StripChart::kTraces; ++t) {
        Series s;
        s.colour = colours[t];
        s.style = styles[t];
        s.name = Q(r.chart.traces[static_cast<std::size_t>(t)]);
        for (std::size_t a = 0; a < r.chart.answers.size(); ++a) {
            const double v = r.chart.answers[a][static_cast<std::size_t>(t)];
            s.x.push_back(static_cast<double>(a + 1));
            s.y.push_back(v);
            lo = first ? v : std::min(lo, v);
            hi = first ? v : std::max(hi, v);
            first = false;
        }
        all.push_back(std::move(s));
    }
    const double pad = std::max(1.0, (hi - lo) * 0.08);
    Plot(p, box, all, QStringLiteral("Answer"), QStringLiteral("Position (sub-pixels)"),
         std::floor(lo - pad), std::ceil(hi + pad));
}

void Video(QPainter& p, const QRectF& box, const SetupRecord& r) {
    Series signal{r.video.x, r.video.signal, kRed, QStringLiteral("Video signal"), Qt::SolidLine};
    Series threshold{r.video.x, std::vector<double>(r.video.x.size(), r.video.threshold),
                     kDarkGreen, QStringLiteral("Threshold"), Qt::DashLine};
    double top = r.video.threshold;
    for (double v : r.video.signal) {
        top = std::max(top, v);
    }
    Plot(p, box, {signal, threshold}, QStringLiteral("Position (sub-pixels)"),
         QStringLiteral("Video signal"), 0.0, std::max(64.0, std::ceil(top * 1.05)));
}

void PaintBlock(QPainter& p, const Block& b, double y, const SetupRecord& r,
                const record::ReportHeader& h) {
    switch (b.kind) {
    case Block::Kind::Chart:
    case Block::Kind::Video: {
        p.setFont(FontFor(Block::Kind::Text));
        p.setPen(Qt::black);
        p.drawText(QPointF(kMargin, y + 9), b.text);
        const QRectF box(kMargin, y + 12, kWidth, kPictureHeight - 4);
        if (b.kind == Block::Kind::Chart) {
            Chart(p, box, r);
        } else {
            Video(p, box, r);
        }
        return;
    }
    case Block::Kind::Signature: {
        p.setFont(FontFor(Block::Kind::Text));
        p.setPen(QPen(Qt::black, 0.6));
        const double line = y + 50;
        p.drawText(QPointF(kMargin, y + 14),
                   QStringLiteral("Responsible for the setup and calibration: ") +
                       Q(h.operatorName));
        p.drawLine(QPointF(kMargin, line), QPointF(kMargin + 250, line));
        p.drawLine(QPointF(kMargin + 300, line), QPointF(kMargin + kWidth, line));
        p.drawText(QPointF(kMargin, line + 11), QStringLiteral("Signature"));
        p.drawText(QPointF(kMargin + 300, line + 11), QStringLiteral("Date"));
        return;
    }
    default:
        p.setFont(FontFor(b.kind));
        p.setPen(Qt::black);
        p.drawText(QPointF(kMargin, y + b.height - 3.5), b.text);
        return;
    }
}

void PaintFrame(QPainter& p, const record::ReportHeader& h, int page, int pages) {
    p.setFont(FontFor(Block::Kind::Text));
    p.setPen(Qt::black);
    const QRectF head(kMargin, kMargin, kWidth, 14);
    p.drawText(head, Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("KORVEN-Darir setup and calibration record"));
    p.drawText(head, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("Report ") + Q(h.number));
    p.setPen(QPen(kGrey, 0.5));
    p.drawLine(QPointF(kMargin, kMargin + 18), QPointF(kMargin + kWidth, kMargin + 18));
    p.drawLine(QPointF(kMargin, kPageH - kMargin - 16),
               QPointF(kMargin + kWidth, kPageH - kMargin - 16));
    p.setPen(Qt::black);
    const QRectF foot(kMargin, kPageH - kMargin - 14, kWidth, 14);
    p.drawText(foot, Qt::AlignLeft | Qt::AlignVCenter,
               Q(h.number) + QStringLiteral("  ·  ") + Q(h.created.substr(0, 19)));
    p.drawText(foot, Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("Page %1 of %2").arg(page).arg(pages));
}

} // namespace

std::string RenderReportPdf(const record::SetupRecord& r, const record::ReportHeader& h,
                            std::string* error) {
    Column c;
    c.add(Block::Kind::Title, QStringLiteral("Setup and calibration record"));
    c.add(Block::Kind::Text, QStringLiteral("Report number: ") + Q(h.number));
    c.add(Block::Kind::Text, QStringLiteral("Date and time: ") + Q(h.created.substr(0, 19)));
    c.add(Block::Kind::Text, QStringLiteral("Program: ") + Q(h.program));
    c.add(Block::Kind::Text, QStringLiteral("Operator: ") + Q(h.operatorName));
    c.add(Block::Kind::Text,
          QStringLiteral("Reference objects: ") +
              (h.reference.empty() ? QStringLiteral("not described") : Q(h.reference)));
    Identity(c, r);
    Parameters(c, r);
    CalibrationSection(c, r, h.toleranceUm);
    StatisticsSection(c, r);
    Pictures(c, r);
    c.signature();
    const auto pages = c.pages();

    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly)) {
        if (error) {
            *error = "no memory for the PDF";
        }
        return {};
    }
    {
        QPdfWriter writer(&buffer);
        writer.setResolution(kResolution);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(0, 0, 0, 0), QPageLayout::Point));
        writer.setTitle(QStringLiteral("Setup and calibration record ") + Q(h.number));
        writer.setCreator(Q(h.program));
        QPainter p;
        if (!p.begin(&writer)) {
            if (error) {
                *error = "the PDF writer did not start";
            }
            return {};
        }
        p.scale(kResolution / 72.0, kResolution / 72.0);
        p.setRenderHint(QPainter::Antialiasing);
        for (std::size_t n = 0; n < pages.size(); ++n) {
            if (n > 0) {
                writer.newPage();
            }
            PaintFrame(p, h, static_cast<int>(n + 1), static_cast<int>(pages.size()));
            double y = kTop;
            for (const Block& b : pages[n]) {
                PaintBlock(p, b, y, r, h);
                y += b.height;
            }
        }
        p.end();
    }
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

} // namespace korven::report
