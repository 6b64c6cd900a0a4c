#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Settings/HotkeyConfiguration.h"
#include "ZoqShell/System/X11GlobalHotKey.h"
#include "tests/TestSupport/TestPrograms.h"
#include "tests/TestSupport/XvfbDisplay.h"

#include <X11/keysym.h>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace zoq {
namespace {

using test::eventually;

constexpr std::uint32_t defaultModifiers = 6400; // Control + Option + Command
constexpr std::uint32_t keyP = 35;
constexpr std::uint32_t keyK = 0x28;
constexpr std::uint16_t controlAltSuper = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

/// Another X client on the same display, grabbing keys for itself.
class OtherClient {
public:
    explicit OtherClient(const std::string& display) : connection_(xcb_connect(display.c_str(), nullptr)) {
        if (xcb_connection_has_error(connection_) != 0) {
            throw std::runtime_error("the test client cannot reach " + display);
        }
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    }
    ~OtherClient() { xcb_disconnect(connection_); }

    /// Grabs `keysym` with exactly `modifiers`; false when another client has it.
    bool grab(xcb_keysym_t keysym, std::uint16_t modifiers) {
        return check(xcb_grab_key_checked(connection_, 1, root_, modifiers, keycode(keysym),
                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
    void ungrab(xcb_keysym_t keysym, std::uint16_t modifiers) {
        check(xcb_ungrab_key_checked(connection_, keycode(keysym), root_, modifiers));
    }

private:
    xcb_keycode_t keycode(xcb_keysym_t keysym) {
        xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection_);
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym);
        const xcb_keycode_t first = codes != nullptr ? codes[0] : 0;
        std::free(codes);
        xcb_key_symbols_free(symbols);
        return first;
    }
    bool check(xcb_void_cookie_t cookie) {
        xcb_generic_error_t* error = xcb_request_check(connection_, cookie);
        const bool ok = error == nullptr;
        std::free(error);
        return ok;
    }

    xcb_connection_t* connection_;
    xcb_window_t root_ = 0;
};

class X11GlobalHotKeyTest : public ::testing::Test {
protected:
    /// Presses `keys` (xdotool syntax) once and releases them.
    void press(const std::string& keys) { ASSERT_EQ(display.xdotool({"key", keys}), 0); }
    /// Presses the default combination and waits for the callback count to
    /// reach `expected`. Key events arrive in order, so a callback too many
    /// for anything pressed before shows up as a count past `expected`.
    void pressDefaultExpecting(int expected) {
        press("ctrl+alt+super+p");
        ASSERT_TRUE(eventually([&] { return presses >= expected; }));
        EXPECT_EQ(presses, expected);
    }

    test::XvfbDisplay display;
    std::atomic<int> presses{0};
    X11GlobalHotKey hotKey{[this] { ++presses; }, display.name()};
};

TEST_F(X11GlobalHotKeyTest, DefaultCombinationCallsBackOncePerPressWhateverTheLocksAndHeldKeysRepeat) {
    ASSERT_TRUE(hotKey.registerHotKey(keyP, defaultModifiers));
    pressDefaultExpecting(1);
    pressDefaultExpecting(2);

    press("ctrl+alt+p"); // not the combination
    pressDefaultExpecting(3);

    press("Num_Lock");
    pressDefaultExpecting(4);
    press("Caps_Lock");
    pressDefaultExpecting(5);
    press("Num_Lock");
    pressDefaultExpecting(6);
    press("Caps_Lock");

    // Held for a second, the key repeats about fifty times on this server.
    ASSERT_EQ(display.xdotool({"keydown", "ctrl+alt+super+p", "sleep", "1", "keyup", "ctrl+alt+super+p"}), 0);
    ASSERT_TRUE(eventually([&] { return presses >= 7; }));
    pressDefaultExpecting(8);
}

TEST_F(X11GlobalHotKeyTest, CombinationHeldByAnotherClientIsRefusedAndNothingOfItStaysGrabbed) {
    OtherClient other(display.name());
    // The CapsLock variant only: the hotkey's plain grab would succeed first.
    ASSERT_TRUE(other.grab(XK_p, controlAltSuper | XCB_MOD_MASK_LOCK));
    EXPECT_FALSE(hotKey.registerHotKey(keyP, defaultModifiers));

    OtherClient third(display.name());
    EXPECT_TRUE(third.grab(XK_p, controlAltSuper)) << "a partial grab was left behind";
    third.ungrab(XK_p, controlAltSuper);
    other.ungrab(XK_p, controlAltSuper | XCB_MOD_MASK_LOCK);

    EXPECT_TRUE(hotKey.registerHotKey(keyP, defaultModifiers));
    EXPECT_FALSE(third.grab(XK_p, controlAltSuper | XCB_MOD_MASK_LOCK));
    pressDefaultExpecting(1);
}

TEST_F(X11GlobalHotKeyTest, RegisteringAgainHoldsOneGrab) {
    ASSERT_TRUE(hotKey.registerHotKey(keyP, defaultModifiers));
    ASSERT_TRUE(hotKey.registerHotKey(keyP, defaultModifiers));
    pressDefaultExpecting(1);

    ASSERT_TRUE(hotKey.registerHotKey(keyK, defaultModifiers));
    OtherClient other(display.name());
    EXPECT_TRUE(other.grab(XK_p, controlAltSuper)) << "the replaced combination is still grabbed";
    EXPECT_FALSE(other.grab(XK_k, controlAltSuper));
    press("ctrl+alt+super+k");
    EXPECT_TRUE(eventually([&] { return presses == 2; }));

    hotKey.unregister();
    EXPECT_TRUE(other.grab(XK_k, controlAltSuper));
}

TEST_F(X11GlobalHotKeyTest, CombinationsThatCannotBeMappedAreRefused) {
    EXPECT_FALSE(hotKey.registerHotKey(0x45, defaultModifiers)); // the keypad's plus: not in the table
    EXPECT_FALSE(hotKey.registerHotKey(keyP, 0));                // would take the P key from every window
    EXPECT_FALSE(
        hotKey.registerHotKey(keyP, defaultModifiers | 1U << 17)); // a modifier with no X counterpart
}

TEST(X11GlobalHotKey, UnreachableDisplayThrows) {
    EXPECT_THROW(X11GlobalHotKey([] {}, ":999"), CoreError);
}

} // namespace
} // namespace zoq
