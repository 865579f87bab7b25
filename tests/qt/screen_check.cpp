// The program's windows on one screen of a given size and scale, on Qt's
// offscreen platform: the main window opens on the screen and every
// control lies on it or within reach of the window's scroll bars; grown to
// the whole screen, the graphs take the room; the pop-ups open centred on
// the main window and entirely on the screen; and the main window opens
// again where it was left on the same screens.
// Usage: korven_screen_check WIDTHxHEIGHT SCALE
#include "app/KORVENDarir23_uir.h"
#include "app/registry.h"
#include "runtime/engine.h"
#include "runtime/qt/qt_backend.h"
#include "runtime/qt/qt_panel_window.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

using korven::rt::qt::PanelWindow;
using korven::rt::qt::QtBackend;

namespace {

#define KORVEN_ID(resource, name, id) {resource, #name, id},
constexpr std::tuple<int, const char*, int> kControls[] = {KORVEN_LAYOUT_CONTROLS(KORVEN_ID)};
#undef KORVEN_ID

const char* const kLayout = KORVEN_BINARY_DIR "/KORVENDarir23.uir";

int failures = 0;
std::string setup;

void Check(bool ok, const QString& what) {
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAIL [%s] %s\n", setup.c_str(), what.toLocal8Bit().constData());
    }
}

QString Show(const QRect& r) {
    return QStringLiteral("(%1,%2 %3x%4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

void Settle() {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 60) {
        QApplication::processEvents();
    }
}

PanelWindow* Window(const QtBackend& backend, int panel) {
    return qobject_cast<PanelWindow*>(backend.panelWidget(panel));
}

// Every control of the panel lies inside the panel, and the scroll bars
// reach every part of the panel that the window does not show.
void EveryControlWithinReach(const QtBackend& backend, int resource, int panel) {
    PanelWindow* w = Window(backend, panel);
    QWidget* form = w->form();
    const QSize view = w->viewport()->size();
    Check(w->horizontalScrollBar()->maximum() >= form->width() - view.width() &&
              w->verticalScrollBar()->maximum() >= form->height() - view.height(),
          QStringLiteral("%1: the scroll bars reach the whole panel %2x%3 from a view of %4x%5")
              .arg(w->objectName())
              .arg(form->width())
              .arg(form->height())
              .arg(view.width())
              .arg(view.height()));
    for (const auto& [res, name, id] : kControls) {
        if (res != resource) {
            continue;
        }
        QWidget* c = backend.controlWidget(panel, id);
        Check(c != nullptr, QStringLiteral("%1 exists").arg(QLatin1String(name)));
        if (c) {
            const QRect r(c->mapTo(form, QPoint(0, 0)), c->size());
            Check(form->rect().contains(r),
                  QStringLiteral("%1 %2 lies on the panel %3")
                      .arg(QLatin1String(name), Show(r), Show(form->rect())));
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: korven_screen_check WIDTHxHEIGHT SCALE\n", stderr);
        return 2;
    }
    const QStringList size = QString::fromLocal8Bit(argv[1]).split(QLatin1Char('x'));
    const double scale = QString::fromLocal8Bit(argv[2]).toDouble();
    if (size.size() != 2 || scale <= 0) {
        std::fputs("usage: korven_screen_check WIDTHxHEIGHT SCALE\n", stderr);
        return 2;
    }
    setup = std::string(argv[1]) + " at " + argv[2];
    QTemporaryDir dir;
    QFile config(dir.filePath(QStringLiteral("screen.json")));
    if (!config.open(QIODevice::WriteOnly)) {
        return 2;
    }
    config.write(QStringLiteral("{\"screens\":[{\"name\":\"desk\",\"x\":0,\"y\":0,\"width\":%1,"
                                "\"height\":%2,\"logicalDpi\":96,\"dpr\":1}]}")
                     .arg(size[0], size[1])
                     .toUtf8());
    config.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
    qputenv("QT_SCALE_FACTOR", argv[2]);
    QApplication app(argc, argv);

    const QString settings = dir.filePath(QStringLiteral("korven-darir.conf"));
    auto backend = std::make_unique<QtBackend>();
    backend->keepSettingsIn(settings);
    korven::rt::SetBackend(backend.get());
    korven::rt::SetLayoutRegistry(&korven::KorvenLayoutRegistry());
    int panels[5] = {};
    for (int resource : {PANEL, POPUP, COMPARE, REPORT}) {
        panels[resource] = LoadPanel(0, kLayout, resource);
        Check(panels[resource] > 0, QStringLiteral("panel %1 loads").arg(resource));
    }
    if (failures) {
        return 1;
    }

    // Opened: on the screen, fitting it.
    DisplayPanel(panels[PANEL]);
    Settle();
    PanelWindow* main = Window(*backend, panels[PANEL]);
    const QRect available = main->screen()->availableGeometry();
    Check(available.contains(main->frameGeometry()),
          QStringLiteral("the main window %1 opens on the screen %2")
              .arg(Show(main->frameGeometry()), Show(available)));
    EveryControlWithinReach(*backend, PANEL, panels[PANEL]);
    const QSize designed = main->designedSize();
    if (available.width() >= designed.width() + 20 &&
        available.height() >= designed.height() + 40) {
        Check(main->viewport()->width() >= designed.width() &&
                  main->viewport()->height() >= designed.height(),
              QStringLiteral("the whole panel shows where the screen has room for it"));
    }

    // Grown to the whole screen: the graphs take what was gained.
    QWidget* graph = backend->controlWidget(panels[PANEL], PANEL_GRAPH_RAW);
    const int graphWidth = graph->width();
    main->resize(available.size().shrunkBy(QMargins(0, 0, 0, 40)));
    Settle();
    const int gained = std::max(0, main->viewport()->width() - designed.width());
    Check(graph->width() == graphWidth + gained,
          QStringLiteral("the strip chart grows by the width gained (%1 -> %2, gained %3)")
              .arg(graphWidth)
              .arg(graph->width())
              .arg(gained));
    EveryControlWithinReach(*backend, PANEL, panels[PANEL]);

    // The pop-ups: centred on the main window, entirely on its screen.
    for (int resource : {POPUP, COMPARE, REPORT}) {
        DisplayPanel(panels[resource]);
        Settle();
        PanelWindow* popup = Window(*backend, panels[resource]);
        const QRect frame = popup->frameGeometry();
        Check(available.contains(frame),
              QStringLiteral("%1 %2 opens on the screen %3")
                  .arg(popup->objectName(), Show(frame), Show(available)));
        const QPoint off = frame.center() - main->frameGeometry().center();
        const bool clamped = frame.left() == available.left() || frame.top() == available.top() ||
                             frame.right() == available.right() ||
                             frame.bottom() == available.bottom();
        Check(clamped || off.manhattanLength() <= 2,
              QStringLiteral("%1 %2 is centred on the main window %3")
                  .arg(popup->objectName(), Show(frame), Show(main->frameGeometry())));
        EveryControlWithinReach(*backend, resource, panels[resource]);
        HidePanel(panels[resource]);
    }

    // Left somewhere else on this screen, it opens there again.
    main->move(available.topLeft() + QPoint(37, 49)); // the frame's corner
    main->resize(std::min(available.width() - 60, designed.width() + 3),
                 std::min(available.height() - 80, designed.height() + 5));
    Settle();
    const QRect expected = main->geometry();
    backend.reset();
    backend = std::make_unique<QtBackend>();
    backend->keepSettingsIn(settings);
    korven::rt::SetBackend(backend.get());
    const int again = LoadPanel(0, kLayout, PANEL);
    DisplayPanel(again);
    Settle();
    Check(Window(*backend, again)->geometry() == expected,
          QStringLiteral("the main window opens where it was left %1, not %2")
              .arg(Show(expected), Show(Window(*backend, again)->geometry())));
    korven::rt::SetBackend(nullptr);
    backend.reset();
    if (failures == 0) {
        std::printf("screens %s: every window fits\n", setup.c_str());
    }
    return failures == 0 ? 0 : 1;
}
