#pragma once

#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/System/GlobalHotKey.h"

#include <memory>

namespace zoq {

/// The global hotkey this session's desktop can offer:
///
/// 1. a Wayland session (WAYLAND_DISPLAY set): the desktop portal's global
///    shortcuts, where the portal offers them;
/// 2. an X display that answers (DISPLAY): a key grab. On a Wayland session
///    without the portal's shortcuts this is XWayland, whose grabs see keys
///    only while an X11 window has the focus: better than nothing;
/// 3. otherwise `NullGlobalHotKey`, which never holds anything.
///
/// Reads the environment through `environment`; blocks briefly to ask the
/// portal and to connect to the display.
std::unique_ptr<GlobalHotKey>
makeDesktopGlobalHotKey(GlobalHotKey::Callback callback,
                        const ShellPaths::Environment& environment = ShellPaths::processEnvironment());

} // namespace zoq
