#pragma once

#include "ZoqCaptureEngine/EngineConfiguration.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqShell/Settings/HotkeyConfiguration.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zoq {

/// Every user setting, kept in one JSON object in one file
/// (`ShellPaths::settingsFile()`, "settings.json").
///
/// Reading. Every getter reads the file afresh (no cache), so a change made by
/// another zoq process or by hand is seen at once. Each key falls back on its
/// own when it is absent or holds the wrong type, and a wrong type is said
/// (`warnings()`), never passed over in silence:
///
///   "allowedBundleIDs"       array of strings   empty set (elements that are
///                                               not strings are ignored; a
///                                               lone string is one identifier)
///   "chimeEnabled"           boolean            true
///   "hotkeyKeyCode"          integer 0...2^32-1 35   (each half separately)
///   "hotkeyCarbonModifiers"  integer 0...2^32-1 6400
///   "apiBaseURL"             string             `defaultAPIBaseURL`
///   "recorderEnabled"        boolean            false
///   "installUUID"            string             (see `ShellPaths::installUUID`)
///   "credentialStore"        string             "keyring" ("file": opt-in file store)
///   "ffmpegPath"             string             none (`FFmpegFLACEncoder`'s default)
///   "systemAudioSource"      "all" or           "all" (any other value is said
///                            "recordedApp"      and records everything)
///
/// Damage. A file that is a symbolic link, not a regular file, larger than
/// `maximumFileSize`, not JSON, or JSON but not an object is *damaged*: every
/// getter returns the defaults and `problem()` says what is wrong, so the
/// tray and the command line can warn. Nothing is discarded silently: a
/// damaged file is left alone, and only an explicit write replaces it, after
/// first renaming it (a link as the link itself, never its target) to
/// "settings.json.damaged" — or "settings.json.damaged.1", ".2", … when
/// earlier copies exist — where the user can recover it.
///
/// Unreadable. When the file cannot be read at all (a system call fails: no
/// permission, a directory in the way), the getters answer with the values
/// of the last good read by this object (the defaults when there was none)
/// and `problem()` says so; every later read tries again, so the values come
/// back as soon as the file can be read. Writes refuse (`CoreError::io`)
/// rather than replace a file they could not read.
///
/// Writing. Each setter re-reads the file, changes its one key, keeps every
/// other key (also keys this version does not know), and replaces the file
/// durably (`DurableIO::atomic`: a 0600 sibling, fsync, rename, directory
/// fsync), so a crash leaves the old or the new file, never a torn one.
/// Missing directories are created with mode 0700. A write that would change
/// nothing is skipped. Bad input (a string that is not UTF-8, a key code out
/// of range) is refused with `CoreError::invalid` before anything is touched.
/// Nothing but a setter (and `storeDefaultAPIBaseURL`) ever writes.
///
/// Layers. An administrator may give every user of the machine defaults and
/// a policy (`SystemLayers`, from $XDG_CONFIG_DIRS/zoq): a key the user's file
/// lacks takes the value of the defaults, and a key the policy names takes the
/// policy's value whatever the user stored (`isLocked`); setters refuse to
/// change such a key (`CoreError::invalid`, "KEY set by your administrator"). The system files are only
/// ever read: one that is damaged or unreadable is ignored and said in
/// `warnings()`, as are values of the wrong type in it. "installUUID" and
/// "recorderEnabled" are the user's state, never locked; a policy naming
/// them is ignored and said.
///
/// Concurrency. Thread-safe: one mutex serialises the calls of one object.
/// Between objects and between processes, writers take flock(LOCK_EX) on the
/// settings directory for their read-modify-write, so concurrent zoq writers
/// never lose each other's keys. A program that ignores the lock (an editor)
/// is last-writer-wins for the whole file; the rename still makes every
/// reader see one complete file.
///
/// Errors. Getters never throw for the file's sake. Setters throw
/// `CoreError::io(operation, errno)` when a system call fails.
class ShellSettings {
public:
    static constexpr const char* fileName = "settings.json";
    static constexpr const char* damagedSuffix = ".damaged";
    /// Far above any real settings file; bounds what a read loads.
    static constexpr std::int64_t maximumFileSize = 1 << 20;
    /// The development portal on this machine, at its default port.
    static constexpr const char* defaultAPIBaseURL = "http://127.0.0.1:8787";

    static constexpr const char* allowedBundleIDsKey = "allowedBundleIDs";
    static constexpr const char* chimeEnabledKey = "chimeEnabled";
    static constexpr const char* hotkeyKeyCodeKey = "hotkeyKeyCode";
    static constexpr const char* hotkeyCarbonModifiersKey = "hotkeyCarbonModifiers";
    static constexpr const char* apiBaseURLKey = "apiBaseURL";
    static constexpr const char* recorderEnabledKey = "recorderEnabled";
    static constexpr const char* installUUIDKey = "installUUID";
    static constexpr const char* credentialStoreKey = "credentialStore";
    static constexpr const char* ffmpegPathKey = "ffmpegPath";
    static constexpr const char* systemAudioSourceKey = "systemAudioSource";
    /// The only value of "credentialStore" that selects the private file
    /// store; the keyring is used for anything else.
    static constexpr const char* fileCredentialStore = "file";
    /// The default value, also accepted when written out.
    static constexpr const char* keyringCredentialStore = "keyring";

    /// An administrator's files, each list most important first (the order
    /// of $XDG_CONFIG_DIRS).
    struct SystemLayers {
        /// Beneath the user's file: what a key the user never set holds.
        std::vector<std::filesystem::path> defaults;
        /// Above it: keys the user cannot change.
        std::vector<std::filesystem::path> policies;
    };
    static constexpr const char* policyFileName = "policy.json";
    /// `fileName` and `policyFileName` in each of `roots` (most important
    /// first, as `ShellPaths::systemConfigRoots` gives them).
    static SystemLayers systemLayersIn(const std::vector<std::filesystem::path>& roots);

    /// Uses the settings file at `file` over the `system` layers; reads and
    /// writes nothing yet, so a command that only reads never changes the file.
    explicit ShellSettings(std::filesystem::path file, SystemLayers system = {});
    ShellSettings(const ShellSettings&) = delete;
    ShellSettings& operator=(const ShellSettings&) = delete;

    const std::filesystem::path& file() const noexcept { return file_; }
    const SystemLayers& systemLayers() const noexcept { return system_; }

    /// Whether the administrator's policy sets `key`, so the user cannot
    /// change it (the windows show it as set by the administrator).
    bool isLocked(std::string_view key) const;

    /// The first start of the long-lived zoq (the tray, `zoq daemon`): when
    /// "apiBaseURL" is absent, stores `defaultAPIBaseURL` there, so the
    /// address in use is written down where the user edits it. A damaged
    /// file and a value of the wrong type are left as they are. Throws
    /// `CoreError::io` when the write fails.
    void storeDefaultAPIBaseURL();

    /// What is wrong with the file ("symbolic link", "not a regular file",
    /// "too large", "unparseable JSON", "not a JSON object", or "cannot be
    /// read: " and the system's reason); none when it is fine or absent.
    std::optional<std::string> problem() const;
    bool damaged() const { return problem().has_value(); }

    /// What a person should know about the file now, one sentence each, from
    /// one read: the file's problem and what zoq uses instead, then every
    /// stored value that is ignored in whole or in part, naming the key, the
    /// value and why ("allowedBundleIDs": ignored null and 7 (not strings);
    /// …). Empty when all is well.
    std::vector<std::string> warnings() const;

    std::set<std::string> allowedBundleIDs() const;
    /// Stored as an array in ascending byte order.
    void setAllowedBundleIDs(const std::set<std::string>& bundleIDs);

    bool chimeEnabled() const;
    void setChimeEnabled(bool enabled);

    HotkeyConfiguration hotkey() const;
    /// invalid("hotkey key code") for a key code outside 0...2^32-1.
    void setHotkey(const HotkeyConfiguration& hotkey);

    std::string apiBaseURLString() const;
    void setAPIBaseURLString(const std::string& text);
    /// `apiBaseURLString` parsed (`parsePortalURL`); none when it does not parse.
    std::optional<std::string> apiBaseURL() const;

    bool recorderEnabled() const;
    void setRecorderEnabled(bool enabled);

    /// What the right channel records.
    SystemAudioSource systemAudioSource() const;
    void setSystemAudioSource(SystemAudioSource source);
    /// The stored spelling of a source ("all", "recordedApp").
    static const char* systemAudioSourceName(SystemAudioSource source) noexcept;

    /// Whether the user chose to keep the device credentials in a private
    /// file instead of the keyring ("credentialStore": "file", set by hand).
    bool credentialsInFile() const;
    /// Stores that choice (the person's answer to a keyring that cannot be
    /// used); takes effect for the credential store opened next.
    void keepCredentialsInFile();
    /// The `ffmpeg` executable to use, when one is configured (a non-empty
    /// absolute path); none for the default.
    std::optional<std::filesystem::path> ffmpegPath() const;

    /// The value of any key in effect (the user's over the defaults, beneath
    /// the policy); none when no layer holds it.
    std::optional<JSONValue> value(std::string_view key) const;
    /// Atomic read-modify-write of one key: `decide` gets the current value
    /// (null when absent or the file is damaged) and returns the value to
    /// store, or none to keep the current one. Returns the value the key holds
    /// afterwards (null when absent). `decide` runs under the settings' locks:
    /// it must not call back into this object.
    JSONValue update(std::string_view key,
                     const std::function<std::optional<JSONValue>(const JSONValue* current)>& decide);

    /// What `checkPortalURL` makes of an address: the address to store, or
    /// why it is refused.
    struct PortalCheck {
        std::optional<std::string> url;
        /// For people ("plain http is only for this computer; use https"),
        /// empty when accepted.
        std::string reason;
    };

    /// Whether `text` may be the portal address, which receives the device's
    /// credentials: it must satisfy the wire URL rules, carry no user name or
    /// password, name a port other than 0, and be https, or http to this
    /// computer (`PortalOrigin::isLoopbackHost`) for development. Accepted
    /// addresses come back as `parsePortalURL` normalises them.
    static PortalCheck checkPortalURL(std::string_view text);

    /// `checkPortalURL(text).url`: the portal address `text` as libcurl
    /// normalises it ("http://host:8787/"), if it is acceptable; none otherwise.
    /// A plain address (a lower-case scheme, a host name or dotted-quad, a port,
    /// a path of unreserved characters) is already in that form and is answered
    /// without loading libcurl, so reading the settings at start costs nothing.
    static std::optional<std::string> parsePortalURL(std::string_view text);
    /// `parsePortalURL` always through libcurl; both answer alike for every text.
    static std::optional<std::string> parsePortalURLWithLibcurl(std::string_view text);
    /// The host libcurl reads in the address `text` ("127.0.0.1", "[::1]"),
    /// found without libcurl for a plain address; none when it names none.
    static std::optional<std::string> portalHost(std::string_view text);

private:
    static PortalCheck checkPortalURL(std::string_view text, bool plainWithoutLibcurl);
    /// `text` as libcurl normalises it, if it is an absolute http(s) URL
    /// with a host; none otherwise.
    static std::optional<std::string> normalisedByLibcurl(std::string_view text);

    struct Contents {
        JSONValue::Object object;           ///< empty when absent or damaged
        std::optional<std::string> problem; ///< set when damaged or unreadable
        /// Why the file could not be read; `object` is then the last good one.
        std::optional<CoreError> failure;
    };

    /// Reads and judges the user's file; a read that fails gives the last
    /// good object with the failure. Callers hold `mutex_`.
    Contents load() const;
    /// Reads and judges any settings file; throws `CoreError::io` when a
    /// system call fails.
    static Contents read(const std::filesystem::path& file);
    /// The user's contents with the system layers applied: `object` is what
    /// the getters read, `problem` and `failure` the user's file's. Callers
    /// hold `mutex_`.
    Contents effective() const;
    /// The keys of `files` (most important first) merged, the more important
    /// file winning; with `notes`, what in them is ignored. A policy never
    /// holds the user's own state.
    static JSONValue::Object layer(const std::vector<std::filesystem::path>& files, bool policy,
                                   std::vector<std::string>* notes);
    /// Throws `CoreError::invalidState` when the policy sets `key`.
    void refuseLocked(std::string_view key) const;
    /// Under the directory lock: loads the object, lets `change` edit it and
    /// writes it back when `change` returns true and something differs. A
    /// damaged file is replaced (kept aside first) only with `replaceDamaged`;
    /// otherwise nothing is written. Callers hold `mutex_`.
    void modify(const std::function<bool(JSONValue::Object& object)>& change, bool replaceDamaged);
    /// Sets each key in one write.
    void store(std::initializer_list<std::pair<const char*, JSONValue>> values);

    const std::filesystem::path file_;
    const SystemLayers system_;
    mutable std::mutex mutex_;           ///< guards every access to the file by this object
    mutable JSONValue::Object lastGood_; ///< the last object read; guarded by mutex_
    mutable bool readOnce_ = false;      ///< guarded by mutex_
};

} // namespace zoq
