#pragma once

#include "ZoqShell/Settings/HotkeyConfiguration.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zoq {

/// A global shortcut as the Linux desktop names it: an X keysym and a set of
/// modifiers, translated to and from the stored setting (a key code of the
/// classic keyboard layout table and its modifier bits).
///
/// Only combinations that survive the round trip exist: a key outside the
/// table (keypad, media and dead keys, non-Latin letters), a modifier the
/// setting cannot hold (AltGr, Hyper, NumLock), and a combination that would
/// take a plain typing key from every application (a letter with no modifier
/// or only Shift) are refused in both directions. So the hotkey window can
/// refuse what it cannot store, and a register never grabs something other
/// than what was stored.
///
/// Modifier mapping: Command is Super (X's Mod4), Option is Alt (Mod1),
/// Control is Control and Shift is Shift. The modifier values below are the
/// X core modifier masks, so they can be handed to a key grab unchanged.
struct KeyCombination {
    static constexpr std::uint32_t shift = 1U << 0;   ///< ShiftMask
    static constexpr std::uint32_t control = 1U << 2; ///< ControlMask
    static constexpr std::uint32_t alt = 1U << 3;     ///< Mod1Mask
    static constexpr std::uint32_t super = 1U << 6;   ///< Mod4Mask
    static constexpr std::uint32_t allModifiers = shift | control | alt | super;

    std::uint32_t keysym = 0;
    std::uint32_t modifiers = 0;

    /// The combination a stored setting names, or nothing when it names one
    /// that cannot be a global shortcut here.
    static std::optional<KeyCombination> fromStored(const HotkeyConfiguration& stored);

    /// A combination as a key event reports it (for example Qt's native
    /// keysym and modifier state): an upper-case letter keysym counts as its
    /// lower-case key, modifier bits other than the four above (Lock, NumLock,
    /// AltGr) are ignored. Nothing when the result cannot be stored.
    static std::optional<KeyCombination> fromKeyEvent(std::uint32_t keysym, std::uint32_t modifierState);

    /// The setting that stores this combination, or nothing when it cannot be
    /// stored.
    std::optional<HotkeyConfiguration> stored() const;

    /// What a person reads, e.g. "Ctrl+Alt+Super+P" (modifiers in the order
    /// Ctrl, Alt, Shift, Super). Empty when the key is not in the table.
    std::string label() const;

    /// The trigger in the desktop portal's shortcut syntax, e.g.
    /// "CTRL+ALT+LOGO+p". Empty when the key is not in the table.
    std::string portalTrigger() const;

    friend bool operator==(const KeyCombination&, const KeyCombination&) = default;
};

} // namespace zoq
