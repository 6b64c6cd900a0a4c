#pragma once

#include "ZoqShell/Messages/Translation.h"
#include "ZoqUI/ModelObserver.h"
#include "ZoqUI/TrayMenu.h"

#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zoq {

class ShellModel;

/// The tray entry: a record symbol, filled red while the recorder captures
/// and with pause bars while it is paused, its tooltip the status line, and
/// the menu, both brought up to date whenever the model announces a
/// change. Qt picks the protocol: StatusNotifierItem where a watcher runs,
/// XEmbed elsewhere.
///
/// Where the session has no tray at all, `noTray` is called once, with the
/// text that says so; the icon docks by itself if a tray appears later.
/// A StatusNotifierItem watcher forgets its items when it restarts (a panel
/// that crashed or was replaced): the icon follows the watcher's name and
/// registers again with each new owner. (An XEmbed tray re-docks by itself.)
///
/// Main thread. The model and the actions are borrowed and must outlive the
/// icon.
class TrayIcon {
public:
    static constexpr const char* noTrayText = I18N_NOOP(
        "No system tray found: zoq keeps running and recording; use `zoq status` to see what it does");

    TrayIcon(ShellModel& model, MenuActions& actions, const std::function<void(const std::string&)>& noTray);
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    /// Reads the model again and updates the icon and the menu.
    void refresh();

    QSystemTrayIcon& icon() noexcept { return tray_; }
    QMenu& menu() noexcept { return menu_; }

    /// The record symbol: a ring around a dot, red and filled while
    /// recording, in the text colour otherwise; paused, the ring holds two
    /// pause bars instead of the dot.
    static QIcon symbol(bool recording, bool paused = false);

private:
    /// How long a new watcher is given to settle before zoq registers again.
    static constexpr std::chrono::milliseconds settleTime{2'000};

    /// Registers the item afresh with the watcher that owns the name now.
    void reregister();

    ShellModel& model_;
    QMenu menu_;
    TrayMenu trayMenu_;
    QSystemTrayIcon tray_;
    std::optional<std::pair<bool, bool>> shown_; // red, paused
    QString tooltip_;
    std::unique_ptr<ModelObserver> observer_;
    std::unique_ptr<QObject> watcher_;
};

} // namespace zoq
