#pragma once

#include <QApplication>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QString;
class QWidget;

namespace zoq::test {

/// The test process's QApplication, created on first use on the offscreen
/// platform, with the session bus pointed at nothing, so no test ever reaches
/// the machine's own display or bus.
QApplication& qtApplication();

/// The menu as text, one entry per item: "---" for a separator, "(text)" for
/// a disabled item, "[x] text" / "[ ] text" for a toggle.
std::vector<std::string> menuItems(const QMenu& menu);

/// The enabled item with this text; fails the test when there is none.
QAction* action(const QMenu& menu, const std::string& text);

/// The text a tooltip shows: QToolTip renders `tip` as rich text when it
/// looks like markup, as plain text otherwise.
std::string shownToolTip(const QString& tip);

/// The label of the menu's status line (its first item); null when there is none.
const QLabel* statusLabel(const QMenu& menu);

/// Every control under `window` in its accessibility tree (buttons, fields,
/// lists and their items, tables, toggles) whose accessible name or
/// description is empty, each as "Role 'name' (object name or class)".
std::vector<std::string> unnamedControls(QWidget& window);

/// Runs Qt's event loop until `done()` holds or `timeout` passes; whether it held.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20));

} // namespace zoq::test
