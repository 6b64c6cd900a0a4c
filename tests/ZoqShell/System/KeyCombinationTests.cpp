#include "ZoqShell/System/KeyCombination.h"
#include "ZoqShell/System/KeyRepeatFilter.h"
#include "ZoqShell/System/ManualGlobalHotKey.h"

#include <X11/keysym.h>
#include <gtest/gtest.h>

namespace zoq {
namespace {

constexpr std::uint32_t command = HotkeyConfiguration::command;
constexpr std::uint32_t option = HotkeyConfiguration::option;
constexpr std::uint32_t control = HotkeyConfiguration::control;
constexpr std::uint32_t shift = HotkeyConfiguration::shift;

TEST(KeyCombination, StoredCombinationsMapToDesktopKeysAndBack) {
    struct Case {
        HotkeyConfiguration stored;
        KeyCombination combination;
        const char* label;
        const char* trigger;
    };
    const Case cases[] = {
        {HotkeyConfiguration::standard,
         {XK_p, KeyCombination::control | KeyCombination::alt | KeyCombination::super},
         "Ctrl+Alt+Super+P",
         "CTRL+ALT+LOGO+p"},
        {{0x00, command | shift},
         {XK_a, KeyCombination::super | KeyCombination::shift},
         "Shift+Super+A",
         "SHIFT+LOGO+a"},
        {{0x1D, control}, {XK_0, KeyCombination::control}, "Ctrl+0", "CTRL+0"},
        {{0x31, option}, {XK_space, KeyCombination::alt}, "Alt+Space", "ALT+space"},
        {{0x2A, control | option},
         {XK_backslash, KeyCombination::control | KeyCombination::alt},
         "Ctrl+Alt+\\",
         "CTRL+ALT+backslash"},
        {{0x7A, 0}, {XK_F1, 0}, "F1", "F1"}, // a function key may stand alone
        {{0x5A, shift}, {XK_F20, KeyCombination::shift}, "Shift+F20", "SHIFT+F20"},
        {{0x79, command}, {XK_Page_Down, KeyCombination::super}, "Super+Page Down", "LOGO+Page_Down"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(KeyCombination::fromStored(c.stored), c.combination);
        EXPECT_EQ(c.combination.stored(), c.stored);
        EXPECT_EQ(c.combination.label(), c.label);
        EXPECT_EQ(c.combination.portalTrigger(), c.trigger);
    }
}

TEST(KeyCombination, EveryStorableKeyRoundTripsAndNothingElseMaps) {
    int mapped = 0;
    for (std::int64_t keyCode = 0; keyCode < 128; ++keyCode) {
        const auto combination = KeyCombination::fromStored({keyCode, control | command});
        if (combination) {
            ++mapped;
            EXPECT_EQ(combination->stored(), (HotkeyConfiguration{keyCode, control | command})) << keyCode;
            EXPECT_FALSE(combination->label().empty());
        }
    }
    // 26 letters, 10 digits, 11 punctuation keys, Return, Tab, Space, Backspace,
    // Escape, 20 function keys, 6 navigation keys and 4 arrows.
    EXPECT_EQ(mapped, 82);
}

TEST(KeyCombination, RefusesWhatCannotBeAGlobalShortcutOrCannotBeStored) {
    EXPECT_FALSE(KeyCombination::fromStored({35, 0}));                  // plain P
    EXPECT_FALSE(KeyCombination::fromStored({35, shift}));              // Shift+P is typing
    EXPECT_FALSE(KeyCombination::fromStored({0x45, control}));          // keypad plus: not in the table
    EXPECT_FALSE(KeyCombination::fromStored({35, control | 1U << 16})); // Caps Lock bit
    EXPECT_FALSE(KeyCombination::fromStored({-1, control}));
    EXPECT_FALSE(KeyCombination::fromStored({0x1'0000'0023, control})); // past 32 bits
    EXPECT_FALSE((KeyCombination{XK_eacute, KeyCombination::control}.stored()));
    EXPECT_FALSE((KeyCombination{XK_p, KeyCombination::control | 1U << 7}.stored())); // Mod5 (AltGr)
    EXPECT_EQ((KeyCombination{XK_eacute, 0}.label()), "");
}

TEST(KeyCombination, KeyEventsNormaliseCaseAndIgnoreLockModifiers) {
    constexpr std::uint32_t capsLock = 1U << 1;
    constexpr std::uint32_t numLock = 1U << 4;
    const auto fromEvent = KeyCombination::fromKeyEvent(XK_P, KeyCombination::control | KeyCombination::alt |
                                                                  KeyCombination::super | capsLock | numLock);
    ASSERT_TRUE(fromEvent);
    EXPECT_EQ(fromEvent->stored(), HotkeyConfiguration::standard);
    EXPECT_FALSE(KeyCombination::fromKeyEvent(XK_P, KeyCombination::shift));
    EXPECT_FALSE(KeyCombination::fromKeyEvent(XK_KP_Add, KeyCombination::control));
}

TEST(KeyRepeatFilter, CountsPhysicalPressesOnly) {
    KeyRepeatFilter filter;
    EXPECT_TRUE(filter.press(100));
    // Without detectable auto-repeat: release and press share a timestamp.
    filter.release(600);
    EXPECT_FALSE(filter.press(600));
    filter.release(640);
    EXPECT_FALSE(filter.press(640));
    // With it: presses without releases.
    EXPECT_FALSE(filter.press(680));
    filter.release(700);
    EXPECT_TRUE(filter.press(701));
    filter.reset();
    EXPECT_TRUE(filter.press(701));
}

TEST(ManualGlobalHotKey, HoldsWhatIsNotTakenAndPressesOnlyWhileHeld) {
    int presses = 0;
    ManualGlobalHotKey hotKey([&] { ++presses; });
    EXPECT_FALSE(hotKey.press());
    hotKey.markTaken(35, 6400);
    EXPECT_FALSE(hotKey.registerHotKey(35, 6400));
    EXPECT_FALSE(hotKey.held());
    EXPECT_TRUE(hotKey.registerHotKey(36, 6400));
    EXPECT_TRUE(hotKey.press());
    hotKey.unregister();
    EXPECT_FALSE(hotKey.press());
    EXPECT_EQ(presses, 1);
}

} // namespace
} // namespace zoq
