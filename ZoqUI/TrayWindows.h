#pragma once

#include "ZoqUI/AllowlistWindow.h"
#include "ZoqUI/HotkeyWindow.h"
#include "ZoqUI/MenuActions.h"
#include "ZoqUI/PairingWindow.h"
#include "ZoqUI/RecordingsWindow.h"

#include <functional>
#include <memory>
#include <vector>

namespace zoq {

class ShellModel;
class LinkOpening;

/// The tray's windows, each created the first time it is opened and
/// kept (hidden) when closed, so reopening finds what it held: the pairing
/// window keeps its draft address. Closing a window never ends the
/// application. Main thread; everything is borrowed.
class TrayWindows {
public:
    /// `reopenStore`: see `PairingWindow` (none offers no credential file).
    TrayWindows(ShellModel& model, LinkOpening& links, std::function<std::vector<AllowlistApp>()> running,
                PairingWindow::ReopenStore reopenStore = {});
    ~TrayWindows();
    TrayWindows(const TrayWindows&) = delete;
    TrayWindows& operator=(const TrayWindows&) = delete;

    /// Shows the window (creating it if needed) and brings it to the front.
    QWidget& open(TrayWindow window);
    /// The window, when it was opened before; else null.
    QWidget* existing(TrayWindow window) const;

private:
    ShellModel& model_;
    LinkOpening& links_;
    std::function<std::vector<AllowlistApp>()> running_;
    PairingWindow::ReopenStore reopenStore_;
    std::unique_ptr<AllowlistWindow> allowlist_;
    std::unique_ptr<PairingWindow> pairing_;
    std::unique_ptr<HotkeyWindow> hotkey_;
    std::unique_ptr<RecordingsWindow> recordings_;
};

} // namespace zoq
