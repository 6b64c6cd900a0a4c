#pragma once

#include <cstdint>

namespace zoq {

/// The global pause/resume shortcut as stored in the settings.
///
/// The numbers keep the stored form exactly: `keyCode` is a virtual key code
/// of the classic keyboard layout table (35 is P) and `carbonModifiers` a mask
/// of the bits below. The X11 and portal hotkey backends translate them when
/// they register; storing them unchanged keeps settings files portable.
struct HotkeyConfiguration {
    static constexpr std::uint32_t command = 256;
    static constexpr std::uint32_t shift = 512;
    static constexpr std::uint32_t option = 2048;
    static constexpr std::uint32_t control = 4096;
    /// The largest key code a setting may hold.
    static constexpr std::int64_t maximumKeyCode = 0xffff'ffff;

    std::int64_t keyCode = 35;
    std::uint32_t carbonModifiers = control | option | command;

    /// Control+Option+Command+P (35 / 6400).
    static const HotkeyConfiguration standard;

    friend bool operator==(const HotkeyConfiguration&, const HotkeyConfiguration&) = default;
};

inline constexpr HotkeyConfiguration HotkeyConfiguration::standard{};

} // namespace zoq
