#include "ZoqUI/TrayIcon.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Shell/ShellModel.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QTimer>

namespace zoq {
namespace {

const QString statusNotifierWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

} // namespace

TrayIcon::TrayIcon(ShellModel& model, MenuActions& actions,
                   const std::function<void(const std::string&)>& noTray)
    : model_(model), trayMenu_(menu_, actions) {
    tray_.setToolTip("zoq");
    tray_.setContextMenu(&menu_);
    // The menu is all there is to zoq: a left click opens it too (trays show
    // the context menu only on a right click).
    QObject::connect(&tray_, &QSystemTrayIcon::activated, &menu_,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger) {
                             menu_.popup(QCursor::pos());
                         }
                     });
    refresh();
    observer_ = std::make_unique<ModelObserver>(model_, [this] { refresh(); });
    // Qt's StatusNotifierItem registers with the watcher when shown, and
    // again only when the watcher's name reappears after a gap: showing it
    // again registers it with whoever owns the name now, also a watcher that
    // replaced the old one directly. A watcher takes its name before it
    // may answer, so the registration is repeated once it has settled.
    auto* watcher = new QDBusServiceWatcher(statusNotifierWatcher, QDBusConnection::sessionBus(),
                                            QDBusServiceWatcher::WatchForOwnerChange);
    watcher_.reset(watcher);
    QObject::connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, &menu_,
                     [this](const QString&, const QString&, const QString& owner) {
                         if (owner.isEmpty()) {
                             return;
                         }
                         reregister();
                         QTimer::singleShot(settleTime, &menu_, [this] { reregister(); });
                     });
    tray_.show();
    if (!QSystemTrayIcon::isSystemTrayAvailable() && noTray) {
        noTray(i18n(noTrayText));
    }
}

void TrayIcon::reregister() {
    if (tray_.isVisible()) {
        tray_.hide();
        tray_.show();
    }
}

void TrayIcon::refresh() {
    const MenuSnapshot snapshot = menuSnapshot(model_);
    const std::pair<bool, bool> look{snapshot.redIndicator, snapshot.paused};
    if (shown_ != look) {
        shown_ = look;
        tray_.setIcon(symbol(look.first, look.second));
    }
    // The tooltip says what the menu's first line says, so hovering tells
    // the state without opening the menu.
    const QString tooltip = "zoq — " + QString::fromStdString(snapshot.status.text);
    if (tooltip != tooltip_) {
        tooltip_ = tooltip;
        tray_.setToolTip(tooltip);
    }
    trayMenu_.show(snapshot);
}

QIcon TrayIcon::symbol(bool recording, bool paused) {
    QIcon icon;
    const QColor colour =
        recording ? QColor(220, 38, 38) : QGuiApplication::palette().color(QPalette::WindowText);
    const QColor halo = QGuiApplication::palette().color(QPalette::Window);
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal ring = size / 10.0;
        // A halo in the opposite colour keeps the idle symbol legible on a
        // panel darker (or lighter) than the application's palette.
        if (!recording) {
            painter.setPen(QPen(halo, ring + 2));
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(QPointF(size / 2.0, size / 2.0), size / 2.0 - ring, size / 2.0 - ring);
            painter.setPen(Qt::NoPen);
            painter.setBrush(halo);
            painter.drawEllipse(QPointF(size / 2.0, size / 2.0), size / 4.5 + 1, size / 4.5 + 1);
        }
        painter.setPen(QPen(colour, ring));
        painter.setBrush(recording ? QBrush(colour) : QBrush(Qt::NoBrush));
        const qreal outer = size / 2.0 - ring;
        painter.drawEllipse(QPointF(size / 2.0, size / 2.0), outer, outer);
        painter.setPen(Qt::NoPen);
        painter.setBrush(recording ? QBrush(Qt::white) : QBrush(colour));
        const qreal inner = size / 4.5;
        if (paused && !recording) {
            const qreal bar = size / 9.0;
            const qreal height = inner * 2;
            const qreal top = size / 2.0 - inner;
            painter.drawRect(QRectF(size / 2.0 - bar * 1.5, top, bar, height));
            painter.drawRect(QRectF(size / 2.0 + bar * 0.5, top, bar, height));
        } else {
            painter.drawEllipse(QPointF(size / 2.0, size / 2.0), inner, inner);
        }
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace zoq
