#include "runtime/qt/qt_internal.h"

#include "runtime/qt/qt_serial_internal.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QInputDialog>

#include <algorithm>

namespace korven::rt::qt {

namespace {

const QString kAddNetworkPort = QStringLiteral("Add network port...");
constexpr int kAddRole = Qt::UserRole + 1;

} // namespace

bool AddsNetworkPort(const QComboBox* combo, int index) {
    return index >= 0 && combo->itemData(index, kAddRole).toBool();
}

void QtBackend::mapPort(int number, const QString& device, const QString& description,
                        bool remember) {
    serial_->mapPort(number, device, description, remember);
}

void QtBackend::watchPorts(const QStringList& patterns) {
    serial_->watchPaths(patterns);
}

void QtBackend::keepSettingsIn(const QString& settingsFile) {
    settingsFile_ = settingsFile;
    serial_->rememberIn(settingsFile);
}

void QtBackend::portAnswered(int port) {
    serial_->answered(port);
}

void QtBackend::rescanPorts() {
    serial_->rescan();
}

void QtBackend::refreshPortLists() {
    for (auto& [handle, panel] : panels_) {
        for (auto& [id, c] : panel->controls) {
            if (c->kind == CtrlKind::Ring && c->widget &&
                c->widget->property("portList").toBool()) {
                fillPortList(*c);
            }
        }
    }
}

void QtBackend::choosePortAgain(int number) {
    for (auto& [handle, panel] : panels_) {
        for (auto& [id, c] : panel->controls) {
            auto* combo = qobject_cast<QComboBox*>(c->widget.data());
            if (c->kind == CtrlKind::Ring && combo && combo->property("portList").toBool() &&
                combo->currentIndex() + c->valueOffset == number) {
                postCtrlEvent(handle, id, EVENT_COMMIT);
            }
        }
    }
}

std::vector<PortEntry> QtBackend::ports() const {
    return serial_->ports();
}

void QtBackend::fillPortList(Control& c) {
    auto* combo = static_cast<QComboBox*>(c.widget.data());
    const QSignalBlocker block(combo);
    const int current = combo->currentIndex();
    const int added = combo->count() > 0 && AddsNetworkPort(combo, combo->count() - 1) ? 1 : 0;
    const int minimum = combo->count() - added;
    combo->clear();
    const auto list = serial_->ports();
    const int n = std::max(minimum, static_cast<int>(list.size()));
    for (int i = 0; i < n; ++i) {
        const int number = i + c.valueOffset;
        QString text = QStringLiteral("COM%1").arg(number);
        QString hint;
        if (i < static_cast<int>(list.size()) &&
            !list[static_cast<std::size_t>(i)].device.isEmpty()) {
            const PortEntry& e = list[static_cast<std::size_t>(i)];
            // The mark goes first: the closed drop-down shows only the start.
            if (!e.present) {
                text += detail::IsAddress(e.device) ? QStringLiteral(" [no connection]")
                                                    : QStringLiteral(" [unplugged]");
            } else if (!e.permitted) {
                text += QStringLiteral(" [no access: group %1]")
                            .arg(e.group.isEmpty() ? QStringLiteral("dialout") : e.group);
                hint = serial_->permissionHint(number);
            }
            if (hint.isEmpty()) {
                hint = serial_->failureReason(number);
            }
            text += QStringLiteral(": ") + e.device;
            if (!e.description.isEmpty()) {
                text += QStringLiteral(" (") + e.description + QLatin1Char(')');
            }
        } else {
            text += QStringLiteral(": -");
        }
        combo->addItem(text);
        // The closed drop-down elides a long entry; its tooltip has it whole.
        combo->setItemData(i, hint.isEmpty() ? text : text + QLatin1Char('\n') + hint,
                           Qt::ToolTipRole);
    }
    combo->addItem(kAddNetworkPort);
    combo->setItemData(n, true, kAddRole);
    combo->setItemData(n,
                       QStringLiteral("A serial line on the network: rfc2217://HOST:PORT "
                                      "(RFC 2217, e.g. ser2net) or socket://HOST:PORT (raw TCP)"),
                       Qt::ToolTipRole);
    combo->setCurrentIndex(std::clamp(current, 0, std::max(0, n - 1)));
    combo->setToolTip(combo->currentData(Qt::ToolTipRole).toString());
    // The open list is as wide as its longest entry.
    combo->view()->setMinimumWidth(combo->view()->sizeHintForColumn(0) + 24);
}

void QtBackend::askNetworkPort(int panel, int control) {
    Control* c = findControl(panel, control);
    if (!c) {
        return;
    }
    QPointer<QWidget> parent = c->widget->window();
    QString address = QStringLiteral("rfc2217://");
    QString refusal;
    for (;;) {
        bool ok = false;
        address = QInputDialog::getText(
                      parent, QStringLiteral("Add network port"),
                      refusal + QStringLiteral("Address of the serial line on the network:\n"
                                               "rfc2217://HOST:PORT (RFC 2217, e.g. ser2net)\n"
                                               "socket://HOST:PORT (raw TCP, line settings stay as "
                                               "the server has them)"),
                      QLineEdit::Normal, address, &ok)
                      .trimmed();
        if (!ok) {
            return;
        }
        QString reason;
        const int number = serial_->addNetworkPort(address, &reason);
        c = findControl(panel, control); // the panel may have gone meanwhile
        if (!c) {
            return;
        }
        if (number > 0) {
            refreshPortLists();
            auto* combo = static_cast<QComboBox*>(c->widget.data());
            combo->setCurrentIndex(number - c->valueOffset);
            postCtrlEvent(panel, control, EVENT_COMMIT);
            return;
        }
        refusal = QStringLiteral("Not added: %1.\n\n").arg(reason);
    }
}

} // namespace korven::rt::qt
