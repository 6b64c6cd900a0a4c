#include "ZoqUI/HotkeyCapture.h"

#include <QKeySequence>
#include <QStringList>
#include <X11/keysym.h>
#include <array>
#include <cstdint>

namespace zoq {
namespace {

struct SpecialKey {
    Qt::Key qt;
    std::uint32_t keysym;
};

// Keys whose Qt code is not their Latin-1 keysym. Keys outside this list and
// outside Latin-1 have no stored form anyway.
constexpr std::array specialKeys{
    SpecialKey{Qt::Key_Return, XK_Return},
    SpecialKey{Qt::Key_Enter, XK_Return},
    SpecialKey{Qt::Key_Tab, XK_Tab},
    SpecialKey{Qt::Key_Backspace, XK_BackSpace},
    SpecialKey{Qt::Key_Escape, XK_Escape},
    SpecialKey{Qt::Key_Delete, XK_Delete},
    SpecialKey{Qt::Key_Insert, XK_Insert},
    SpecialKey{Qt::Key_Home, XK_Home},
    SpecialKey{Qt::Key_End, XK_End},
    SpecialKey{Qt::Key_PageUp, XK_Page_Up},
    SpecialKey{Qt::Key_PageDown, XK_Page_Down},
    SpecialKey{Qt::Key_Left, XK_Left},
    SpecialKey{Qt::Key_Right, XK_Right},
    SpecialKey{Qt::Key_Up, XK_Up},
    SpecialKey{Qt::Key_Down, XK_Down},
};

struct ModifierPair {
    Qt::KeyboardModifier qt;
    std::uint32_t x11;
};

constexpr std::array modifiers{
    ModifierPair{Qt::ShiftModifier, KeyCombination::shift},
    ModifierPair{Qt::ControlModifier, KeyCombination::control},
    ModifierPair{Qt::AltModifier, KeyCombination::alt},
    ModifierPair{Qt::MetaModifier, KeyCombination::super},
};

std::optional<std::uint32_t> keysymOf(Qt::Key key) {
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35) {
        return XK_F1 + static_cast<std::uint32_t>(key - Qt::Key_F1);
    }
    if (key >= Qt::Key_Space && key <= Qt::Key_AsciiTilde) {
        // Qt names printable ASCII keys by their character, upper-case for
        // letters; keysyms are the character too, lower-case for letters.
        const auto code = static_cast<std::uint32_t>(key);
        return code >= 'A' && code <= 'Z' ? code + ('a' - 'A') : code;
    }
    for (const SpecialKey& special : specialKeys) {
        if (special.qt == key) {
            return special.keysym;
        }
    }
    return std::nullopt;
}

std::optional<Qt::Key> qtKeyOf(std::uint32_t keysym) {
    if (keysym >= XK_F1 && keysym <= XK_F35) {
        return static_cast<Qt::Key>(Qt::Key_F1 + static_cast<int>(keysym - XK_F1));
    }
    if (keysym >= XK_a && keysym <= XK_z) {
        return static_cast<Qt::Key>(keysym - (XK_a - XK_A));
    }
    if (keysym >= XK_space && keysym <= XK_asciitilde) {
        return static_cast<Qt::Key>(keysym);
    }
    for (const SpecialKey& special : specialKeys) {
        if (special.keysym == keysym) {
            return special.qt;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<KeyCombination> keyCombination(QKeyCombination captured) {
    const std::optional<std::uint32_t> keysym = keysymOf(captured.key());
    if (!keysym) {
        return std::nullopt;
    }
    std::uint32_t state = 0;
    for (const ModifierPair& pair : modifiers) {
        if (captured.keyboardModifiers().testFlag(pair.qt)) {
            state |= pair.x11;
        }
    }
    if (captured.keyboardModifiers().testFlag(Qt::KeypadModifier)) {
        return std::nullopt;
    }
    return KeyCombination::fromKeyEvent(*keysym, state);
}

QString keyLabel(QKeyCombination captured) {
    if (captured.toCombined() == 0) {
        return {};
    }
    if (const std::optional<KeyCombination> combination = keyCombination(captured)) {
        return QString::fromStdString(combination->label());
    }
    // The settings' order and names, over Qt's name for the key itself.
    const struct {
        Qt::KeyboardModifier qt;
        const char* label;
    } labels[] = {{Qt::ControlModifier, "Ctrl"},
                  {Qt::AltModifier, "Alt"},
                  {Qt::ShiftModifier, "Shift"},
                  {Qt::MetaModifier, "Super"}};
    QStringList parts;
    for (const auto& modifier : labels) {
        if (captured.keyboardModifiers().testFlag(modifier.qt)) {
            parts.push_back(modifier.label);
        }
    }
    const QString key = QKeySequence(captured.key()).toString(QKeySequence::PortableText);
    if (!key.isEmpty()) {
        parts.push_back(key);
    }
    return parts.join('+');
}

QKeyCombination qtKeyCombination(const KeyCombination& combination) {
    const std::optional<Qt::Key> key = qtKeyOf(combination.keysym);
    if (!key) {
        return QKeyCombination();
    }
    Qt::KeyboardModifiers qtModifiers;
    for (const ModifierPair& pair : modifiers) {
        if ((combination.modifiers & pair.x11) != 0) {
            qtModifiers |= pair.qt;
        }
    }
    return QKeyCombination(qtModifiers, *key);
}

} // namespace zoq
