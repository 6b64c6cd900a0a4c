#include "ZoqShell/System/X11GlobalHotKey.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/System/KeyCombination.h"

#include <X11/keysym.h>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <utility>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace zoq {
namespace {

/// xcb hands out malloc'd replies, events and errors.
struct FreeDeleter {
    void operator()(void* pointer) const noexcept { std::free(pointer); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

struct KeySymbolsDeleter {
    void operator()(xcb_key_symbols_t* symbols) const noexcept { xcb_key_symbols_free(symbols); }
};

/// Every key code that produces `keysym` in the current keyboard map.
std::vector<std::uint8_t> keycodesFor(xcb_connection_t* connection, std::uint32_t keysym) {
    std::vector<std::uint8_t> found;
    const std::unique_ptr<xcb_key_symbols_t, KeySymbolsDeleter> symbols(xcb_key_symbols_alloc(connection));
    if (!symbols) {
        return found;
    }
    const Owned<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(symbols.get(), keysym));
    for (const xcb_keycode_t* code = codes.get(); code != nullptr && *code != XCB_NO_SYMBOL; ++code) {
        if (std::find(found.begin(), found.end(), *code) == found.end()) {
            found.push_back(*code);
        }
    }
    return found;
}

/// The modifier bit NumLock is mapped to (0 when it is on none).
std::uint16_t numLockMask(xcb_connection_t* connection) {
    const std::vector<std::uint8_t> numLock = keycodesFor(connection, XK_Num_Lock);
    const Owned<xcb_get_modifier_mapping_reply_t> mapping(
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr));
    if (!mapping || numLock.empty()) {
        return 0;
    }
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(mapping.get());
    const int perModifier = mapping->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int index = 0; index < perModifier; ++index) {
            const xcb_keycode_t code = codes[modifier * perModifier + index];
            if (code != 0 && std::find(numLock.begin(), numLock.end(), code) != numLock.end()) {
                return static_cast<std::uint16_t>(1U << modifier);
            }
        }
    }
    return 0;
}

/// The four lock states a grab is taken for (fewer when NumLock is unmapped).
std::vector<std::uint16_t> lockVariants(std::uint16_t lockMask) {
    std::vector<std::uint16_t> variants;
    for (const std::uint16_t variant : std::array<std::uint16_t, 4>{
             0, XCB_MOD_MASK_LOCK, static_cast<std::uint16_t>(lockMask & ~XCB_MOD_MASK_LOCK), lockMask}) {
        if ((variant & ~lockMask) == 0 &&
            std::find(variants.begin(), variants.end(), variant) == variants.end()) {
            variants.push_back(variant);
        }
    }
    return variants;
}

/// Sends the checked requests `send` makes for each lock variant of each key
/// code, then waits for every answer; true when none failed.
template <typename Send>
bool forEachGrab(xcb_connection_t* connection, const std::vector<std::uint8_t>& keycodes,
                 std::uint16_t lockMask, Send send) {
    std::vector<xcb_void_cookie_t> cookies;
    for (const std::uint8_t keycode : keycodes) {
        for (const std::uint16_t variant : lockVariants(lockMask)) {
            cookies.push_back(send(keycode, variant));
        }
    }
    bool succeeded = true;
    for (const xcb_void_cookie_t cookie : cookies) {
        // Every cookie is checked, so no error is left to surface as an event.
        const Owned<xcb_generic_error_t> error(xcb_request_check(connection, cookie));
        succeeded = succeeded && !error;
    }
    return succeeded;
}

} // namespace

X11GlobalHotKey::X11GlobalHotKey(Callback callback, const std::string& display)
    : callback_(std::move(callback)) {
    int screenNumber = 0;
    connection_ = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
    if (const int failure = xcb_connection_has_error(connection_); failure != 0) {
        xcb_disconnect(connection_);
        throw CoreError::io("xcb_connect", failure);
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int skip = 0; skip < screenNumber && screens.rem > 0; ++skip) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        xcb_disconnect(connection_);
        throw CoreError::io("xcb_connect", XCB_CONN_CLOSED_INVALID_SCREEN);
    }
    root_ = screens.data->root;
    // An unmapped input-only window of our own: the destructor sends it a
    // message to wake the event thread out of xcb_wait_for_event.
    wakeWindow_ = xcb_generate_id(connection_);
    xcb_create_window(connection_, 0, wakeWindow_, root_, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_flush(connection_);
    thread_ = std::thread([this] { run(); });
}

X11GlobalHotKey::~X11GlobalHotKey() {
    unregister();
    xcb_client_message_event_t wake{};
    wake.response_type = XCB_CLIENT_MESSAGE;
    wake.format = 32;
    wake.window = wakeWindow_;
    wake.type = XCB_ATOM_NONE;
    xcb_send_event(connection_, 0, wakeWindow_, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&wake));
    xcb_flush(connection_);
    thread_.join();
    xcb_disconnect(connection_);
}

bool X11GlobalHotKey::registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers) {
    unregister();
    const std::optional<KeyCombination> combination =
        KeyCombination::fromStored(HotkeyConfiguration{keyCode, carbonModifiers});
    if (!combination) {
        return false;
    }
    Grab grab;
    grab.keycodes = keycodesFor(connection_, combination->keysym);
    grab.modifiers = static_cast<std::uint16_t>(combination->modifiers);
    grab.lockMask = static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | numLockMask(connection_));
    if (grab.keycodes.empty()) {
        return false; // the keyboard map has no such key
    }
    const bool granted = forEachGrab(
        connection_, grab.keycodes, grab.lockMask, [&](std::uint8_t keycode, std::uint16_t variant) {
            return xcb_grab_key_checked(connection_, 1, root_, grab.modifiers | variant, keycode,
                                        XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        });
    if (!granted) {
        // Another client holds one of the variants (BadAccess): keep none.
        ungrab(grab);
        return false;
    }
    std::lock_guard guard(lock_);
    grab_ = std::move(grab);
    repeat_.reset();
    return true;
}

void X11GlobalHotKey::unregister() noexcept {
    Grab held;
    {
        std::lock_guard guard(lock_);
        held = std::exchange(grab_, Grab{});
    }
    if (!held.keycodes.empty()) {
        ungrab(held);
    }
}

void X11GlobalHotKey::ungrab(const Grab& grab) noexcept {
    // Ungrabbing a combination this client does not hold changes nothing, so
    // the whole set can be released after a partial grab.
    forEachGrab(connection_, grab.keycodes, grab.lockMask, [&](std::uint8_t keycode, std::uint16_t variant) {
        return xcb_ungrab_key_checked(connection_, keycode, root_, grab.modifiers | variant);
    });
}

void X11GlobalHotKey::run() noexcept {
    for (;;) {
        const Owned<xcb_generic_event_t> event(xcb_wait_for_event(connection_));
        if (!event) {
            return; // the connection broke: no more key events will come
        }
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == XCB_CLIENT_MESSAGE &&
            reinterpret_cast<const xcb_client_message_event_t*>(event.get())->window == wakeWindow_) {
            return;
        }
        if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) {
            continue;
        }
        const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
        bool pressed = false;
        {
            std::lock_guard guard(lock_);
            if (std::find(grab_.keycodes.begin(), grab_.keycodes.end(), key->detail) ==
                grab_.keycodes.end()) {
                continue;
            }
            if (type == XCB_KEY_RELEASE) {
                repeat_.release(key->time);
            } else {
                pressed = repeat_.press(key->time) &&
                          (key->state & ~grab_.lockMask & KeyCombination::allModifiers) == grab_.modifiers;
            }
        }
        if (pressed && callback_) {
            callback_();
        }
    }
}

} // namespace zoq
