#pragma once

#include "ZoqShell/System/KeyCombination.h"

#include <QKeyCombination>
#include <QString>
#include <optional>

namespace zoq {

/// Between what a key-sequence editor captures (a Qt key with Qt modifiers)
/// and the hotkey as the settings keep it. Qt's Meta is the Super key on
/// Linux desktops. A key Qt names but the settings cannot hold (a keypad key,
/// a shifted symbol such as "!", a key without Ctrl, Alt or Super) gives
/// nothing, so the window can refuse it before storing anything.
std::optional<KeyCombination> keyCombination(QKeyCombination captured);

/// The combination as the editor shows it; an empty one for a key Qt has no
/// name for.
QKeyCombination qtKeyCombination(const KeyCombination& combination);

/// How the hotkey windows name a captured combination, the same way as
/// `KeyCombination::label` ("Ctrl+Alt+Super+P"): Qt's own text calls the
/// Super key "Meta" and orders the modifiers differently. Also for
/// combinations the settings cannot hold; empty for none.
QString keyLabel(QKeyCombination captured);

} // namespace zoq
