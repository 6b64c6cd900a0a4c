#pragma once

#include "ZoqShell/Messages/Translation.h"
#include "ZoqUI/MenuActions.h"
#include "ZoqUI/MenuSnapshot.h"

#include <QColor>
#include <optional>

class QMenu;

namespace zoq {

/// The tray's menu: fills a QMenu with the items a snapshot of the shell model
/// calls for, top to bottom: status line, permission guidance, recording
/// controls, the blocked notice, the last uploads, the windows, the two
/// toggles, the settings pages and Quit.
///
/// Captions are disabled text items rather than QMenu sections: a menu
/// exported over StatusNotifierItem turns section captions into bare
/// separators. The lines shown in a colour of their own (the status line,
/// orange while blocked; the stuck warning; the empty-spool note) are labels,
/// since a disabled item is always greyed; where Qt draws the menu the colour
/// shows, and their actions carry the same text for hosts that draw the menu
/// themselves.
///
/// Main thread. The menu and the actions are borrowed.
class TrayMenu {
public:
    static constexpr const char* microphoneHint =
        I18N_NOOP("Microphone access must be granted in the sound settings");
    static constexpr const char* systemAudioHint =
        I18N_NOOP("System audio recording must be granted in the sound settings");
    static constexpr const char* blockedCaption = I18N_NOOP("Blocked: device revoked or token rejected");

    /// Orange, for the status line while blocked and the stuck warning.
    static const QColor warningColor;

    TrayMenu(QMenu& menu, MenuActions& actions);

    /// Rebuilds the menu when `snapshot` differs from what it shows. Safe to
    /// call from inside one of the menu's own actions: replaced items are
    /// deleted later, never while they are being triggered.
    void show(const MenuSnapshot& snapshot);

private:
    void rebuild(const MenuSnapshot& snapshot);

    QMenu& menu_;
    MenuActions& actions_;
    std::optional<MenuSnapshot> shown_;
};

} // namespace zoq
