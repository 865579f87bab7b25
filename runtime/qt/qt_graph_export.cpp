// A graph's exports: the picture (PDF or PNG) and the data (CSV), and the
// context menu and file dialog through which the operator asks for them.
#include "runtime/qt/qt_graph.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>

#include "runtime/engine.h"

#include <qcustomplot.h>

namespace korven::rt::qt {

namespace {

// A CSV field: quoted when it holds a separator, a quote or a line break.
QString Quoted(const QString& field) {
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) &&
        !field.contains(QLatin1Char('\n'))) {
        return field;
    }
    QString q = field;
    q.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

} // namespace

bool Graph::savePicture(const QString& path) const {
    if (!plot_) {
        return false;
    }
    return path.endsWith(QStringLiteral(".pdf"), Qt::CaseInsensitive) ? plot_->savePdf(path)
                                                                      : plot_->savePng(path);
}

bool Graph::saveData(const QString& path, QString* reason) const {
    if (!plot_) {
        return false;
    }
    QString out;
    const auto number = [](double v) { return QString::number(v, 'g', 10); };
    // Columns are named as the panel names them: the axis labels and the
    // traces' names ("traceNames", separated by ';') with the values' unit.
    const QString xLabel = plot_->xAxis->label(), yLabel = plot_->yAxis->label();
    const QString unit = yLabel.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(yLabel);
    if (strip_) {
        out += xLabel.isEmpty() ? QStringLiteral("answer") : Quoted(xLabel);
        const QStringList names =
            plot_->property("traceNames").toString().split(QLatin1Char(';'), Qt::KeepEmptyParts);
        std::size_t rows = 0;
        for (std::size_t t = 0; t < traces_.size(); ++t) {
            const QString name = t < static_cast<std::size_t>(names.size())
                                     ? names[static_cast<qsizetype>(t)].trimmed()
                                     : QString();
            out += QLatin1Char(',') +
                   (name.isEmpty() ? QStringLiteral("trace_%1").arg(t + 1) : Quoted(name + unit));
            rows = std::max(rows, traces_[t].size());
        }
        out += QLatin1Char('\n');
        for (std::size_t i = 0; i < rows; ++i) {
            out += QString::number(i + 1);
            for (const auto& t : traces_) {
                // Shorter traces are aligned on their newest value.
                const std::size_t skip = rows - t.size();
                out += QLatin1Char(',');
                if (i >= skip) {
                    out += number(t[i - skip]);
                }
            }
            out += QLatin1Char('\n');
        }
    } else {
        out += QStringLiteral("plot,%1,%2\n")
                   .arg(xLabel.isEmpty() ? QStringLiteral("position") : Quoted(xLabel),
                        yLabel.isEmpty() ? QStringLiteral("value") : Quoted(yLabel));
        int curve = 0, band = 0;
        for (const auto& [handle, item] : items_) {
            if (auto* c = qobject_cast<QCPCurve*>(item.plottable)) {
                ++curve;
                for (auto it = c->data()->constBegin(); it != c->data()->constEnd(); ++it) {
                    out += QStringLiteral("curve_%1,%2,%3\n")
                               .arg(curve)
                               .arg(number(it->key), number(it->value));
                }
            } else if (auto* r = qobject_cast<QCPItemRect*>(item.item)) {
                ++band;
                for (const QCPItemPosition* corner : {r->topLeft, r->bottomRight}) {
                    out += QStringLiteral("band_%1,%2,%3\n")
                               .arg(band)
                               .arg(number(corner->coords().x()), number(corner->coords().y()));
                }
            }
        }
        for (int i = 0; i < 3; ++i) {
            if (cursorShown(i + 1)) {
                out += QStringLiteral("cursor_%1,%2,%3\n")
                           .arg(i + 1)
                           .arg(number(cursors_[i].x), number(cursors_[i].y));
            }
        }
    }
    QSaveFile file(path);
    const QByteArray bytes = out.toUtf8();
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit()) {
        return true;
    }
    if (reason != nullptr) {
        *reason = file.errorString();
    }
    return false;
}

void Graph::showMenu(const QPoint& pos) {
    if (!plot_) {
        return;
    }
    // popup(), not exec(): a running loop goes on while the menu is open.
    auto* menu = new QMenu(plot_);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const std::shared_ptr<Graph*> self = self_;
    const auto act = [menu, self](const QString& text, auto fn) {
        return QObject::connect(menu->addAction(text), &QAction::triggered, menu,
                                [self, fn](bool checked) {
                                    if (*self) {
                                        fn(**self, checked);
                                    }
                                });
    };
    act(QStringLiteral("Save picture as PNG..."),
        [](Graph& g, bool) { g.chooseFile(QStringLiteral("png"), false); });
    act(QStringLiteral("Save picture as PDF..."),
        [](Graph& g, bool) { g.chooseFile(QStringLiteral("pdf"), false); });
    act(QStringLiteral("Save data as CSV..."),
        [](Graph& g, bool) { g.chooseFile(QStringLiteral("csv"), true); });
    menu->addSeparator();
    act(QStringLiteral("Pause drawing"), [](Graph& g, bool on) { g.setPaused(on); });
    menu->actions().back()->setCheckable(true);
    menu->actions().back()->setChecked(paused());
    act(QStringLiteral("Back to the program's scaling"), [](Graph& g, bool) { g.resetView(); });
    menu->actions().back()->setEnabled(operatorView_);
    menu->popup(plot_->mapToGlobal(pos));
}

void Graph::chooseFile(const QString& suffix, bool data) {
    QString stem = plot_->objectName();
    stem = stem.mid(stem.lastIndexOf(QLatin1Char('_')) + 1).toLower();
    const QString name =
        QStringLiteral("KRVN-%1-%2.%3")
            .arg(stem, QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")),
                 suffix);
    // open(), not exec(): the dialog does not hold up a running loop. It
    // starts where the last graph was saved, or in the documents folder.
    auto* dialog = new QFileDialog(plot_->window(), QStringLiteral("Save graph"),
                                   QDir(QString::fromStdString(FileFolder("graph"))).filePath(name),
                                   QStringLiteral("*.%1").arg(suffix));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(suffix);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    const std::shared_ptr<Graph*> self = self_;
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, [self, data](const QString& path) {
        if (!*self) {
            return;
        }
        const Graph& g = **self;
        const std::string shown = QDir::toNativeSeparators(path).toStdString();
        NoteFileFolder("graph", shown.c_str());
        QString reason;
        if (data ? g.saveData(path, &reason) : g.savePicture(path)) {
            TellOperator(("Graph saved: " + shown).c_str());
            return;
        }
        const std::string text = "Error writing graph file! " + shown +
                                 (reason.isEmpty() ? std::string() : ": " + reason.toStdString());
        TellOperator(text.c_str());
        auto* box =
            new QMessageBox(QMessageBox::Warning, QStringLiteral("KORVEN-Darir"),
                            QString::fromStdString(text), QMessageBox::Ok, g.plot()->window());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    });
    dialog->open();
}

} // namespace korven::rt::qt
