#include "ZoqShell/Settings/ShellSettings.h"

#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Spool/FileDescriptor.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "ZoqCore/Wire/WireFields.h"
#include "ZoqShell/Transport/CurlHandles.h"
#include "ZoqShell/Transport/PortalOrigin.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zoq {
namespace {

namespace fs = std::filesystem;

/// Earlier damaged copies are never overwritten; past this many the write is
/// refused rather than piling up copies without end.
constexpr int maximumDamagedCopies = 100;

[[noreturn]] void fail(const char* operation) {
    throw CoreError::io(operation, errno);
}

fs::path parentOf(const fs::path& file) {
    const fs::path parent = file.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

/// mkdir -p with mode 0700 for every directory it creates; existing ones keep
/// their mode.
void createDirectories(const fs::path& directory) {
    fs::path partial;
    for (const fs::path& component : directory) {
        partial /= component;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            fail("mkdir settings directory");
        }
    }
}

/// The settings directory, opened and locked against other writers until the
/// descriptor closes.
FileDescriptor lockDirectory(const fs::path& directory) {
    createDirectories(directory);
    FileDescriptor handle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!handle) {
        fail("open settings directory");
    }
    while (::flock(handle.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            fail("lock settings directory");
        }
    }
    return handle;
}

bool existsAt(int directory, const std::string& name) {
    struct stat status {};
    return ::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

/// Renames the damaged file (whatever it is) to the first free
/// "settings.json.damaged[.N]". Never replaces an earlier copy.
void keepDamaged(int directory, const std::string& name) {
    for (int copy = 0; copy < maximumDamagedCopies; ++copy) {
        std::string target = name + ShellSettings::damagedSuffix;
        if (copy > 0) {
            target += "." + std::to_string(copy);
        }
        if (::renameat2(directory, name.c_str(), directory, target.c_str(), RENAME_NOREPLACE) == 0) {
            return;
        }
        if (errno == EINVAL) {
            // A file system without RENAME_NOREPLACE: check first. Only zoq
            // writers create these names, and they hold the directory lock.
            if (existsAt(directory, target)) {
                continue;
            }
            if (::renameat(directory, name.c_str(), directory, target.c_str()) != 0) {
                fail("keep damaged settings");
            }
            return;
        }
        if (errno != EEXIST) {
            fail("keep damaged settings");
        }
    }
    errno = EEXIST;
    fail("keep damaged settings");
}

Bytes encode(const JSONValue::Object& object) {
    Bytes bytes = JSONValue(object).canonicalBytes();
    bytes.push_back('\n');
    // Never write a file the next read would call damaged.
    if (static_cast<std::int64_t>(bytes.size()) > ShellSettings::maximumFileSize) {
        throw CoreError::invalid("settings too large");
    }
    return bytes;
}

std::optional<std::uint32_t> storedU32(const JSONValue::Object& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> number = found->second.integer();
    if (!number || *number < 0 || *number > 0xffff'ffff) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*number);
}

/// A stored value as people read it in a warning, cut short when long.
std::string shown(const JSONValue& value) {
    constexpr std::size_t longest = 60;
    std::string text = value.canonicalText();
    if (text.size() > longest) {
        std::size_t cut = longest;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) {
            --cut; // never inside a UTF-8 sequence
        }
        text = text.substr(0, cut) + "…";
    }
    return text;
}

std::string ignoredText(const char* key, const JSONValue& value, const char* why,
                        const std::string& instead) {
    return std::string("\"") + key + "\": ignored " + shown(value) + " (" + why + "); zoq uses " + instead;
}

/// The allowlist as stored: the strings of an array, or a lone string as
/// the one identifier; `note` (when given) says what was left out.
std::set<std::string> allowlistOf(const JSONValue::Object& object, std::string* note) {
    std::set<std::string> bundleIDs;
    const auto found = object.find(ShellSettings::allowedBundleIDsKey);
    if (found == object.end()) {
        return bundleIDs;
    }
    const JSONValue& stored = found->second;
    const char* key = ShellSettings::allowedBundleIDsKey;
    if (const std::string* lone = stored.string()) {
        bundleIDs.insert(*lone);
        if (note != nullptr) {
            *note = std::string("\"") + key + "\": " + shown(stored) +
                    " is one identifier, not a list of them; zoq allows that one";
        }
        return bundleIDs;
    }
    if (stored.array() == nullptr) {
        if (note != nullptr) {
            *note = ignoredText(key, stored, "not a list of identifiers", "an empty allowlist");
        }
        return bundleIDs;
    }
    std::vector<std::string> ignored;
    for (const JSONValue& element : *stored.array()) {
        if (const std::string* text = element.string()) {
            bundleIDs.insert(*text);
        } else {
            ignored.push_back(shown(element));
        }
    }
    if (!ignored.empty() && note != nullptr) {
        std::string list;
        for (std::size_t index = 0; index < ignored.size(); ++index) {
            list += (index == 0 ? "" : index + 1 == ignored.size() ? " and " : ", ") + ignored[index];
        }
        *note = std::string("\"") + key + "\": ignored " + list + " (not " +
                (ignored.size() == 1 ? "an identifier" : "identifiers") + "); zoq allows the other " +
                std::to_string(bundleIDs.size()) + (bundleIDs.size() == 1 ? " application" : " applications");
    }
    return bundleIDs;
}

/// A boolean key: its value, or `fallback` (with a note) for another type.
bool flagOf(const JSONValue::Object& object, const char* key, bool fallback, std::string* note) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return fallback;
    }
    if (const std::optional<bool> flag = found->second.boolean()) {
        return *flag;
    }
    if (note != nullptr) {
        *note = ignoredText(key, found->second, "not true or false", fallback ? "true" : "false");
    }
    return fallback;
}

/// A string key: its text, or none (with a note) for another type.
const std::string* textOf(const JSONValue::Object& object, const char* key, const std::string& instead,
                          std::string* note) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return nullptr;
    }
    const std::string* text = found->second.string();
    if (text == nullptr && note != nullptr) {
        *note = ignoredText(key, found->second, "not a string", instead);
    }
    return text;
}

/// What is ignored, in whole or in part, of the values in `object`, one
/// sentence each.
std::vector<std::string> valueNotes(const JSONValue::Object& object) {
    std::vector<std::string> warnings;
    const auto add = [&warnings](const std::string& note) {
        if (!note.empty()) {
            warnings.push_back(note);
        }
    };
    std::string note;
    (void)allowlistOf(object, &note);
    add(std::exchange(note, {}));
    (void)flagOf(object, ShellSettings::chimeEnabledKey, true, &note);
    add(std::exchange(note, {}));
    for (const char* key : {ShellSettings::hotkeyKeyCodeKey, ShellSettings::hotkeyCarbonModifiersKey}) {
        const auto found = object.find(key);
        if (found != object.end() && !storedU32(object, key)) {
            const bool keyCode = std::string_view(key) == ShellSettings::hotkeyKeyCodeKey;
            add(ignoredText(key, found->second, "not a whole number from 0 to 4294967295",
                            std::to_string(keyCode ? HotkeyConfiguration::standard.keyCode
                                                   : HotkeyConfiguration::standard.carbonModifiers)));
        }
    }
    (void)textOf(object, ShellSettings::apiBaseURLKey, ShellSettings::defaultAPIBaseURL, &note);
    add(std::exchange(note, {}));
    (void)flagOf(object, ShellSettings::recorderEnabledKey, false, &note);
    add(std::exchange(note, {}));
    if (const std::string* store = textOf(object, ShellSettings::credentialStoreKey, "the keyring", &note);
        store != nullptr && *store != ShellSettings::fileCredentialStore &&
        *store != ShellSettings::keyringCredentialStore) {
        // A slip ("File", "flie") would otherwise keep the keyring in use
        // while the person believes the file store was chosen.
        note = ignoredText(ShellSettings::credentialStoreKey, JSONValue(*store),
                           "only \"keyring\" or \"file\" are known", "the keyring");
    }
    add(std::exchange(note, {}));
    if (const std::string* path = textOf(object, ShellSettings::ffmpegPathKey, "the default ffmpeg", &note);
        path != nullptr && !path->empty() && path->front() != '/') {
        note = ignoredText(ShellSettings::ffmpegPathKey, JSONValue(*path), "not an absolute path",
                           "the default ffmpeg");
    }
    add(std::exchange(note, {}));
    if (const std::string* source =
            textOf(object, ShellSettings::systemAudioSourceKey, "everything the computer plays", &note);
        source != nullptr && *source != "all" && *source != "recordedApp") {
        // A slip ("recordedapp") would otherwise record everything while the
        // person believes only the call is recorded.
        note = ignoredText(ShellSettings::systemAudioSourceKey, JSONValue(*source),
                           "only \"all\" or \"recordedApp\" are known", "everything the computer plays");
    }
    add(std::exchange(note, {}));
    return warnings;
}

/// The user's own state rather than a setting: no administrator sets it.
bool isUserState(std::string_view key) {
    return key == ShellSettings::installUUIDKey || key == ShellSettings::recorderEnabledKey;
}

} // namespace

ShellSettings::ShellSettings(std::filesystem::path file, SystemLayers system)
    : file_(std::move(file)), system_(std::move(system)) {
    if (file_.filename().empty()) {
        throw CoreError::invalid("settings path");
    }
}

void ShellSettings::storeDefaultAPIBaseURL() {
    // An address the administrator gives stays theirs: written into the
    // user's file it would hide a later change of theirs.
    for (const auto* files : {&system_.defaults, &system_.policies}) {
        if (layer(*files, files == &system_.policies, nullptr).contains(apiBaseURLKey)) {
            return;
        }
    }
    const std::lock_guard lock(mutex_);
    modify(
        [](JSONValue::Object& object) {
            if (object.contains(apiBaseURLKey)) {
                return false;
            }
            object.insert_or_assign(apiBaseURLKey, JSONValue(defaultAPIBaseURL));
            return true;
        },
        false);
}

ShellSettings::Contents ShellSettings::load() const {
    try {
        Contents contents = read(file_);
        if (!contents.problem) {
            lastGood_ = contents.object;
            readOnce_ = true;
        }
        return contents;
    } catch (const CoreError& error) {
        if (error.kind() != CoreError::Kind::io) {
            throw;
        }
        // Every caller (a menu refresh, a re-arm) goes on with what was
        // read before; the next read tries again.
        Contents contents;
        contents.object = lastGood_;
        contents.problem = "cannot be read: " + std::string(std::strerror(error.code()));
        contents.failure = error;
        return contents;
    }
}

ShellSettings::Contents ShellSettings::read(const std::filesystem::path& path) {
    Contents contents;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return contents;
        }
        fail("stat settings");
    }
    // Judged before opening: opening a device or a FIFO can have effects.
    if (S_ISLNK(status.st_mode)) {
        contents.problem = "symbolic link";
        return contents;
    }
    if (!S_ISREG(status.st_mode)) {
        contents.problem = "not a regular file";
        return contents;
    }
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        if (errno == ENOENT) {
            return contents; // removed since the lstat
        }
        if (errno == ELOOP) {
            contents.problem = "symbolic link";
            return contents;
        }
        fail("open settings");
    }
    if (::fstat(file.get(), &status) != 0) {
        fail("stat settings");
    }
    if (!S_ISREG(status.st_mode)) {
        contents.problem = "not a regular file";
        return contents;
    }
    if (status.st_size > maximumFileSize) {
        contents.problem = "too large";
        return contents;
    }
    // One byte beyond the limit tells a file that grew since the fstat.
    Bytes bytes(static_cast<std::size_t>(maximumFileSize) + 1);
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t count = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("read settings");
        }
        if (count == 0) {
            break;
        }
        filled += static_cast<std::size_t>(count);
    }
    if (filled > static_cast<std::size_t>(maximumFileSize)) {
        contents.problem = "too large";
        return contents;
    }
    bytes.resize(filled);
    JSONValue parsed;
    try {
        parsed = JSONValue::parse(bytes);
    } catch (const JSONSyntaxError&) {
        contents.problem = "unparseable JSON";
        return contents;
    }
    if (parsed.object() == nullptr) {
        contents.problem = "not a JSON object";
        return contents;
    }
    contents.object = *parsed.object();
    return contents;
}

ShellSettings::Contents ShellSettings::effective() const {
    Contents contents = load();
    if (system_.defaults.empty() && system_.policies.empty()) {
        return contents;
    }
    JSONValue::Object object = layer(system_.defaults, false, nullptr);
    for (auto& [key, value] : contents.object) {
        object.insert_or_assign(key, std::move(value));
    }
    for (auto& [key, value] : layer(system_.policies, true, nullptr)) {
        object.insert_or_assign(key, std::move(value));
    }
    contents.object = std::move(object);
    return contents;
}

JSONValue::Object ShellSettings::layer(const std::vector<std::filesystem::path>& files, bool policy,
                                       std::vector<std::string>* notes) {
    JSONValue::Object merged;
    const auto note = [notes](std::string text) {
        if (notes != nullptr) {
            notes->push_back(std::move(text));
        }
    };
    const char* kind = policy ? "the administrator's policy file " : "the system settings file ";
    // Least important first: a more important file's key replaces it.
    for (auto file = files.rbegin(); file != files.rend(); ++file) {
        Contents contents;
        try {
            contents = read(*file);
        } catch (const CoreError& error) {
            if (error.kind() != CoreError::Kind::io) {
                throw;
            }
            contents.problem = "cannot be read: " + std::string(std::strerror(error.code()));
        }
        if (contents.problem) {
            note(kind + file->string() + " is ignored (" + *contents.problem + ")");
            continue;
        }
        for (const auto& [key, value] : contents.object) {
            if (policy && isUserState(key)) {
                note(kind + file->string() + ": \"" + key +
                     "\" is ignored (the user's own state, not a setting)");
                continue;
            }
            merged.insert_or_assign(key, value);
        }
        if (notes != nullptr) {
            for (const std::string& valueNote : valueNotes(contents.object)) {
                note(kind + file->string() + ": " + valueNote);
            }
        }
    }
    return merged;
}

ShellSettings::SystemLayers ShellSettings::systemLayersIn(const std::vector<std::filesystem::path>& roots) {
    SystemLayers layers;
    for (const std::filesystem::path& root : roots) {
        layers.defaults.push_back(root / fileName);
        layers.policies.push_back(root / policyFileName);
    }
    return layers;
}

bool ShellSettings::isLocked(std::string_view key) const {
    if (system_.policies.empty() || isUserState(key)) {
        return false;
    }
    const JSONValue::Object policy = layer(system_.policies, true, nullptr);
    return policy.find(key) != policy.end();
}

void ShellSettings::refuseLocked(std::string_view key) const {
    if (isLocked(key)) {
        throw CoreError::invalid(std::string(key) + " set by your administrator");
    }
}

void ShellSettings::modify(const std::function<bool(JSONValue::Object& object)>& change,
                           bool replaceDamaged) {
    const FileDescriptor directory = lockDirectory(parentOf(file_));
    Contents contents = load();
    if (contents.failure) {
        throw *contents.failure; // never replace what could not be read
    }
    if (contents.problem && !replaceDamaged) {
        return;
    }
    const JSONValue::Object before = contents.object;
    if (!change(contents.object) || (contents.object == before && !contents.problem)) {
        return; // nothing to change: spare the disk a rewrite
    }
    // Encoding validates the values (UTF-8, size) before anything is touched.
    const Bytes bytes = encode(contents.object);
    if (contents.problem) {
        keepDamaged(directory.get(), file_.filename().string());
    }
    DurableIO().atomic(bytes, file_);
}

JSONValue
ShellSettings::update(std::string_view key,
                      const std::function<std::optional<JSONValue>(const JSONValue* current)>& decide) {
    refuseLocked(key);
    const std::lock_guard lock(mutex_);
    JSONValue result;
    modify(
        [&](JSONValue::Object& object) {
            const auto found = object.find(key);
            const JSONValue* current = found == object.end() ? nullptr : &found->second;
            std::optional<JSONValue> decided = decide(current);
            if (!decided) {
                result = current != nullptr ? *current : JSONValue();
                return false;
            }
            result = *decided;
            object.insert_or_assign(std::string(key), std::move(*decided));
            return true;
        },
        true);
    return result;
}

void ShellSettings::store(std::initializer_list<std::pair<const char*, JSONValue>> values) {
    for (const auto& [key, value] : values) {
        refuseLocked(key);
    }
    const std::lock_guard lock(mutex_);
    modify(
        [&values](JSONValue::Object& object) {
            for (const auto& [key, value] : values) {
                object.insert_or_assign(key, value);
            }
            return true;
        },
        true);
}

std::optional<std::string> ShellSettings::problem() const {
    const std::lock_guard lock(mutex_);
    return load().problem;
}

std::vector<std::string> ShellSettings::warnings() const {
    Contents contents;
    bool readBefore = false;
    {
        const std::lock_guard lock(mutex_);
        readBefore = readOnce_;
        contents = load();
    }
    std::vector<std::string> warnings;
    if (contents.failure) {
        warnings.push_back("the settings file " + file_.string() + " " + *contents.problem + "; zoq " +
                           (readBefore ? "keeps the settings it read last" : "uses the defaults") +
                           " and reads it again when it can");
    } else if (contents.problem) {
        warnings.push_back("the settings file " + file_.string() + " is damaged (" + *contents.problem +
                           "): zoq uses the defaults");
    }
    for (std::string& note : valueNotes(contents.object)) {
        warnings.push_back(std::move(note));
    }
    if (!system_.defaults.empty() || !system_.policies.empty()) {
        (void)layer(system_.defaults, false, &warnings);
        (void)layer(system_.policies, true, &warnings);
    }
    return warnings;
}

std::optional<JSONValue> ShellSettings::value(std::string_view key) const {
    const std::lock_guard lock(mutex_);
    const Contents contents = effective();
    const auto found = contents.object.find(key);
    if (found == contents.object.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::set<std::string> ShellSettings::allowedBundleIDs() const {
    const std::lock_guard lock(mutex_);
    return allowlistOf(effective().object, nullptr);
}

void ShellSettings::setAllowedBundleIDs(const std::set<std::string>& bundleIDs) {
    JSONValue::Array array(bundleIDs.begin(), bundleIDs.end());
    store({{allowedBundleIDsKey, JSONValue(std::move(array))}});
}

bool ShellSettings::chimeEnabled() const {
    const std::lock_guard lock(mutex_);
    return flagOf(effective().object, chimeEnabledKey, true, nullptr);
}

void ShellSettings::setChimeEnabled(bool enabled) {
    store({{chimeEnabledKey, JSONValue(enabled)}});
}

HotkeyConfiguration ShellSettings::hotkey() const {
    JSONValue::Object object;
    {
        const std::lock_guard lock(mutex_);
        object = effective().object;
    }
    // One read for both halves, so they come from the same file.
    HotkeyConfiguration hotkey = HotkeyConfiguration::standard;
    if (const std::optional<std::uint32_t> keyCode = storedU32(object, hotkeyKeyCodeKey)) {
        hotkey.keyCode = *keyCode;
    }
    if (const std::optional<std::uint32_t> modifiers = storedU32(object, hotkeyCarbonModifiersKey)) {
        hotkey.carbonModifiers = *modifiers;
    }
    return hotkey;
}

void ShellSettings::setHotkey(const HotkeyConfiguration& hotkey) {
    if (hotkey.keyCode < 0 || hotkey.keyCode > HotkeyConfiguration::maximumKeyCode) {
        throw CoreError::invalid("hotkey key code");
    }
    // Both halves in one write, so no reader sees one without the other.
    store({{hotkeyKeyCodeKey, JSONValue(hotkey.keyCode)},
           {hotkeyCarbonModifiersKey, JSONValue(hotkey.carbonModifiers)}});
}

std::string ShellSettings::apiBaseURLString() const {
    const std::optional<JSONValue> stored = value(apiBaseURLKey);
    if (stored && stored->string() != nullptr) {
        return *stored->string();
    }
    return defaultAPIBaseURL;
}

void ShellSettings::setAPIBaseURLString(const std::string& text) {
    store({{apiBaseURLKey, JSONValue(text)}});
}

std::optional<std::string> ShellSettings::apiBaseURL() const {
    return parsePortalURL(apiBaseURLString());
}

bool ShellSettings::recorderEnabled() const {
    const std::lock_guard lock(mutex_);
    return flagOf(effective().object, recorderEnabledKey, false, nullptr);
}

void ShellSettings::setRecorderEnabled(bool enabled) {
    store({{recorderEnabledKey, JSONValue(enabled)}});
}

SystemAudioSource ShellSettings::systemAudioSource() const {
    const std::optional<JSONValue> stored = value(systemAudioSourceKey);
    const std::string* text = stored ? stored->string() : nullptr;
    return text != nullptr && *text == "recordedApp" ? SystemAudioSource::recordedApp
                                                     : SystemAudioSource::all;
}

void ShellSettings::setSystemAudioSource(SystemAudioSource source) {
    store({{systemAudioSourceKey, JSONValue(std::string(systemAudioSourceName(source)))}});
}

const char* ShellSettings::systemAudioSourceName(SystemAudioSource source) noexcept {
    return source == SystemAudioSource::recordedApp ? "recordedApp" : "all";
}

bool ShellSettings::credentialsInFile() const {
    const std::optional<JSONValue> stored = value(credentialStoreKey);
    const std::string* text = stored ? stored->string() : nullptr;
    return text != nullptr && *text == fileCredentialStore;
}

void ShellSettings::keepCredentialsInFile() {
    store({{credentialStoreKey, JSONValue(std::string(fileCredentialStore))}});
}

std::optional<std::filesystem::path> ShellSettings::ffmpegPath() const {
    const std::optional<JSONValue> stored = value(ffmpegPathKey);
    const std::string* text = stored ? stored->string() : nullptr;
    if (text == nullptr || text->empty() || text->front() != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(*text);
}

namespace {

bool isASCIILetter(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isASCIIDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Decimal digits with no leading zero, at most `limit`: the one spelling of a
// number that libcurl writes back unchanged.
bool isPlainNumber(std::string_view text, unsigned limit) noexcept {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text.front() == '0') ||
        !std::all_of(text.begin(), text.end(), isASCIIDigit)) {
        return false;
    }
    unsigned value = 0;
    for (const char c : text) {
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= limit;
}

// Dot-separated pieces, each satisfying `accept`, none empty.
template <typename Accept>
bool splitsInto(std::string_view text, Accept accept) {
    for (;;) {
        const std::size_t dot = text.find('.');
        if (!accept(text.substr(0, dot))) {
            return false;
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(dot + 1);
    }
}

// A host libcurl leaves as it is: a name that begins with a letter (so it can
// never be read as a numeric address) of letter, digit and hyphen labels, or
// four plain decimal numbers up to 255.
bool isPlainHost(std::string_view host) {
    if (host.empty()) {
        return false;
    }
    if (isASCIILetter(host.front())) {
        return splitsInto(host, [](std::string_view label) {
            return !label.empty() && std::all_of(label.begin(), label.end(), [](char c) {
                return isASCIILetter(c) || isASCIIDigit(c) || c == '-';
            });
        });
    }
    int parts = 0;
    return splitsInto(host,
                      [&parts](std::string_view part) { return ++parts <= 4 && isPlainNumber(part, 255); }) &&
           parts == 4;
}

// A path of unreserved characters with no "." or ".." segment.
bool isPlainPath(std::string_view path) {
    if (path.empty() || path.front() != '/') {
        return false;
    }
    std::size_t start = 1;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view segment =
            path.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (segment == "." || segment == ".." || !std::all_of(segment.begin(), segment.end(), [](char c) {
                return isASCIILetter(c) || isASCIIDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
            })) {
            return false;
        }
        if (slash == std::string_view::npos) {
            return true;
        }
        start = slash + 1;
    }
}

// The host of `text` when it is a plain address, which libcurl would
// normalise only by adding the root path to an empty one; none otherwise.
std::optional<std::string_view> plainPortalHost(std::string_view text) {
    std::string_view rest = text;
    if (rest.starts_with("https://")) {
        rest.remove_prefix(8);
    } else if (rest.starts_with("http://")) {
        rest.remove_prefix(7);
    } else {
        return std::nullopt;
    }
    const std::size_t pathStart = std::min(rest.find('/'), rest.size());
    const std::string_view authority = rest.substr(0, pathStart);
    const std::string_view path = rest.substr(pathStart);
    const std::size_t colon = authority.find(':');
    const std::string_view host = authority.substr(0, colon);
    if (!isPlainHost(host) ||
        (colon != std::string_view::npos && !isPlainNumber(authority.substr(colon + 1), 65535)) ||
        (!path.empty() && !isPlainPath(path))) {
        return std::nullopt;
    }
    return host;
}

// `text` parsed by libcurl; none when it holds a NUL (which would cut it
// short) or libcurl refuses it.
curl::Url parsedByLibcurl(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        return nullptr;
    }
    curl::Url url(curl::library().url());
    if (!url) {
        throw std::bad_alloc();
    }
    const std::string input(text);
    if (curl::library().url_set(url.get(), CURLUPART_URL, input.c_str(), 0) != CURLUE_OK) {
        return nullptr;
    }
    return url;
}

std::optional<std::string> partOf(const curl::Url& url, CURLUPart which) {
    char* raw = nullptr;
    if (curl::library().url_get(url.get(), which, &raw, 0) != CURLUE_OK || raw == nullptr) {
        return std::nullopt;
    }
    const curl::String owned(raw);
    return std::string(owned.get());
}

} // namespace

ShellSettings::PortalCheck ShellSettings::checkPortalURL(std::string_view text) {
    return checkPortalURL(text, true);
}

ShellSettings::PortalCheck ShellSettings::checkPortalURL(std::string_view text, bool plainWithoutLibcurl) {
    const auto refused = [](std::string reason) { return PortalCheck{std::nullopt, std::move(reason)}; };
    const std::size_t schemeEnd = text.find("://");
    const std::size_t authorityStart = schemeEnd == std::string_view::npos ? 0 : schemeEnd + 3;
    const std::string_view authority =
        text.substr(authorityStart, text.find_first_of("/?#", authorityStart) - authorityStart);
    if (schemeEnd != std::string_view::npos && authority.find('@') != std::string_view::npos) {
        return refused("a user name or password in the address");
    }
    try {
        (void)WireFields::url(JSONValue(std::string(text)));
    } catch (const CoreError& error) {
        return refused("not an http or https address (" + error.message() + ")");
    }
    // The wire rules accept port 0 (and "00"): no server listens there.
    const std::size_t bracket = authority.find(']');
    const std::size_t colon = authority.find(':', bracket == std::string_view::npos ? 0 : bracket);
    if (colon != std::string_view::npos) {
        const std::string_view port = authority.substr(colon + 1);
        if (!port.empty() && port.find_first_not_of('0') == std::string_view::npos) {
            return refused("port 0");
        }
    }
    std::optional<std::string> url;
    if (plainWithoutLibcurl && plainPortalHost(text)) {
        url = text.find('/', text.find("//") + 2) == std::string_view::npos ? std::string(text) + "/"
                                                                            : std::string(text);
    } else {
        url = normalisedByLibcurl(text);
    }
    if (!url) {
        return refused("not an http or https address");
    }
    const std::optional<std::string> host = portalHost(*url);
    if (!host) {
        return refused("no host in the address");
    }
    // Both spellings above write the scheme in lower case.
    if (!url->starts_with("https://") && !PortalOrigin::isLoopbackHost(*host)) {
        return refused("plain http is only for a portal on this computer (localhost, 127.0.0.0/8, ::1); "
                       "use https");
    }
    return PortalCheck{std::move(url), {}};
}

std::optional<std::string> ShellSettings::parsePortalURL(std::string_view text) {
    return checkPortalURL(text).url;
}

std::optional<std::string> ShellSettings::portalHost(std::string_view text) {
    if (const std::optional<std::string_view> host = plainPortalHost(text)) {
        return std::string(*host);
    }
    const curl::Url url = parsedByLibcurl(text);
    return url ? partOf(url, CURLUPART_HOST) : std::nullopt;
}

std::optional<std::string> ShellSettings::parsePortalURLWithLibcurl(std::string_view text) {
    return checkPortalURL(text, false).url;
}

std::optional<std::string> ShellSettings::normalisedByLibcurl(std::string_view text) {
    const curl::Url url = parsedByLibcurl(text);
    if (!url) {
        return std::nullopt;
    }
    const auto part = [&url](CURLUPart which) { return partOf(url, which); };
    std::optional<std::string> scheme = part(CURLUPART_SCHEME);
    if (!scheme) {
        return std::nullopt;
    }
    for (char& c : *scheme) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const std::optional<std::string> host = part(CURLUPART_HOST);
    if ((*scheme != "http" && *scheme != "https") || !host || host->empty()) {
        return std::nullopt;
    }
    return part(CURLUPART_URL);
}

} // namespace zoq
