#include "ZoqShell/System/KeyCombination.h"

#include <X11/keysym.h>
#include <array>

namespace zoq {
namespace {

/// One key both sides know: its key code in the classic layout table, its X
/// keysym, its name in the XKB keysym vocabulary (the portal's trigger
/// syntax) and the label a person reads.
struct Key {
    std::uint32_t keyCode;
    std::uint32_t keysym;
    const char* xkbName;
    const char* label;
};

// The classic layout table's codes follow the physical ANSI positions, which
// is why they look shuffled.
constexpr std::array keys{
    Key{0x00, XK_a, "a", "A"},
    Key{0x01, XK_s, "s", "S"},
    Key{0x02, XK_d, "d", "D"},
    Key{0x03, XK_f, "f", "F"},
    Key{0x04, XK_h, "h", "H"},
    Key{0x05, XK_g, "g", "G"},
    Key{0x06, XK_z, "z", "Z"},
    Key{0x07, XK_x, "x", "X"},
    Key{0x08, XK_c, "c", "C"},
    Key{0x09, XK_v, "v", "V"},
    Key{0x0B, XK_b, "b", "B"},
    Key{0x0C, XK_q, "q", "Q"},
    Key{0x0D, XK_w, "w", "W"},
    Key{0x0E, XK_e, "e", "E"},
    Key{0x0F, XK_r, "r", "R"},
    Key{0x10, XK_y, "y", "Y"},
    Key{0x11, XK_t, "t", "T"},
    Key{0x12, XK_1, "1", "1"},
    Key{0x13, XK_2, "2", "2"},
    Key{0x14, XK_3, "3", "3"},
    Key{0x15, XK_4, "4", "4"},
    Key{0x16, XK_6, "6", "6"},
    Key{0x17, XK_5, "5", "5"},
    Key{0x18, XK_equal, "equal", "="},
    Key{0x19, XK_9, "9", "9"},
    Key{0x1A, XK_7, "7", "7"},
    Key{0x1B, XK_minus, "minus", "-"},
    Key{0x1C, XK_8, "8", "8"},
    Key{0x1D, XK_0, "0", "0"},
    Key{0x1E, XK_bracketright, "bracketright", "]"},
    Key{0x1F, XK_o, "o", "O"},
    Key{0x20, XK_u, "u", "U"},
    Key{0x21, XK_bracketleft, "bracketleft", "["},
    Key{0x22, XK_i, "i", "I"},
    Key{0x23, XK_p, "p", "P"},
    Key{0x24, XK_Return, "Return", "Return"},
    Key{0x25, XK_l, "l", "L"},
    Key{0x26, XK_j, "j", "J"},
    Key{0x27, XK_apostrophe, "apostrophe", "'"},
    Key{0x28, XK_k, "k", "K"},
    Key{0x29, XK_semicolon, "semicolon", ";"},
    Key{0x2A, XK_backslash, "backslash", "\\"},
    Key{0x2B, XK_comma, "comma", ","},
    Key{0x2C, XK_slash, "slash", "/"},
    Key{0x2D, XK_n, "n", "N"},
    Key{0x2E, XK_m, "m", "M"},
    Key{0x2F, XK_period, "period", "."},
    Key{0x30, XK_Tab, "Tab", "Tab"},
    Key{0x31, XK_space, "space", "Space"},
    Key{0x32, XK_grave, "grave", "`"},
    Key{0x33, XK_BackSpace, "BackSpace", "Backspace"},
    Key{0x35, XK_Escape, "Escape", "Escape"},
    Key{0x40, XK_F17, "F17", "F17"},
    Key{0x4F, XK_F18, "F18", "F18"},
    Key{0x50, XK_F19, "F19", "F19"},
    Key{0x5A, XK_F20, "F20", "F20"},
    Key{0x60, XK_F5, "F5", "F5"},
    Key{0x61, XK_F6, "F6", "F6"},
    Key{0x62, XK_F7, "F7", "F7"},
    Key{0x63, XK_F3, "F3", "F3"},
    Key{0x64, XK_F8, "F8", "F8"},
    Key{0x65, XK_F9, "F9", "F9"},
    Key{0x67, XK_F11, "F11", "F11"},
    Key{0x69, XK_F13, "F13", "F13"},
    Key{0x6A, XK_F16, "F16", "F16"},
    Key{0x6B, XK_F14, "F14", "F14"},
    Key{0x6D, XK_F10, "F10", "F10"},
    Key{0x6F, XK_F12, "F12", "F12"},
    Key{0x71, XK_F15, "F15", "F15"},
    Key{0x72, XK_Insert, "Insert", "Insert"}, // the Help key sits where Insert does
    Key{0x73, XK_Home, "Home", "Home"},
    Key{0x74, XK_Page_Up, "Page_Up", "Page Up"},
    Key{0x75, XK_Delete, "Delete", "Delete"},
    Key{0x76, XK_F4, "F4", "F4"},
    Key{0x77, XK_End, "End", "End"},
    Key{0x78, XK_F2, "F2", "F2"},
    Key{0x79, XK_Page_Down, "Page_Down", "Page Down"},
    Key{0x7A, XK_F1, "F1", "F1"},
    Key{0x7B, XK_Left, "Left", "Left"},
    Key{0x7C, XK_Right, "Right", "Right"},
    Key{0x7D, XK_Down, "Down", "Down"},
    Key{0x7E, XK_Up, "Up", "Up"},
};

struct ModifierPair {
    std::uint32_t stored;
    std::uint32_t x11;
    const char* label;
    const char* trigger;
};

/// In label order.
constexpr std::array modifierPairs{
    ModifierPair{HotkeyConfiguration::control, KeyCombination::control, "Ctrl", "CTRL"},
    ModifierPair{HotkeyConfiguration::option, KeyCombination::alt, "Alt", "ALT"},
    ModifierPair{HotkeyConfiguration::shift, KeyCombination::shift, "Shift", "SHIFT"},
    ModifierPair{HotkeyConfiguration::command, KeyCombination::super, "Super", "LOGO"},
};

constexpr std::uint32_t storableModifiers = HotkeyConfiguration::control | HotkeyConfiguration::option |
                                            HotkeyConfiguration::shift | HotkeyConfiguration::command;

const Key* keyForCode(std::int64_t keyCode) {
    for (const Key& key : keys) {
        if (key.keyCode == keyCode) {
            return &key;
        }
    }
    return nullptr;
}

const Key* keyForKeysym(std::uint32_t keysym) {
    for (const Key& key : keys) {
        if (key.keysym == keysym) {
            return &key;
        }
    }
    return nullptr;
}

bool isFunctionKey(std::uint32_t keysym) {
    return keysym >= XK_F1 && keysym <= XK_F35;
}

/// A shortcut must not swallow what people type: anything but a function key
/// needs Ctrl, Alt or Super.
bool usableGlobally(const KeyCombination& combination) {
    return isFunctionKey(combination.keysym) ||
           (combination.modifiers &
            (KeyCombination::control | KeyCombination::alt | KeyCombination::super)) != 0;
}

template <typename Part>
std::string joined(const KeyCombination& combination, Part part, const char* keyName) {
    std::string text;
    for (const ModifierPair& pair : modifierPairs) {
        if ((combination.modifiers & pair.x11) != 0) {
            text += part(pair);
            text += '+';
        }
    }
    return text + keyName;
}

} // namespace

std::optional<KeyCombination> KeyCombination::fromStored(const HotkeyConfiguration& stored) {
    const Key* key = keyForCode(stored.keyCode);
    if (key == nullptr || (stored.carbonModifiers & ~storableModifiers) != 0) {
        return std::nullopt;
    }
    KeyCombination combination{key->keysym, 0};
    for (const ModifierPair& pair : modifierPairs) {
        if ((stored.carbonModifiers & pair.stored) != 0) {
            combination.modifiers |= pair.x11;
        }
    }
    if (!usableGlobally(combination)) {
        return std::nullopt;
    }
    return combination;
}

std::optional<KeyCombination> KeyCombination::fromKeyEvent(std::uint32_t keysym,
                                                           std::uint32_t modifierState) {
    if (keysym >= XK_A && keysym <= XK_Z) {
        keysym += XK_a - XK_A;
    }
    const KeyCombination combination{keysym, modifierState & allModifiers};
    if (!combination.stored()) {
        return std::nullopt;
    }
    return combination;
}

std::optional<HotkeyConfiguration> KeyCombination::stored() const {
    const Key* key = keyForKeysym(keysym);
    if (key == nullptr || (modifiers & ~allModifiers) != 0 || !usableGlobally(*this)) {
        return std::nullopt;
    }
    HotkeyConfiguration configuration{key->keyCode, 0};
    for (const ModifierPair& pair : modifierPairs) {
        if ((modifiers & pair.x11) != 0) {
            configuration.carbonModifiers |= pair.stored;
        }
    }
    return configuration;
}

std::string KeyCombination::label() const {
    const Key* key = keyForKeysym(keysym);
    return key == nullptr ? std::string()
                          : joined(
                                *this, [](const ModifierPair& pair) { return pair.label; }, key->label);
}

std::string KeyCombination::portalTrigger() const {
    const Key* key = keyForKeysym(keysym);
    return key == nullptr ? std::string()
                          : joined(
                                *this, [](const ModifierPair& pair) { return pair.trigger; }, key->xkbName);
}

} // namespace zoq
