#pragma once

#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Auth/PairingError.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Secrets/SecretsError.h"
#include "ZoqShell/Transport/TransportUnavailable.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

/// What an error means for the person, in one sentence: what happened, then
/// what to do, then (in parentheses) the technical detail where there is one.
/// One function per error vocabulary, so the command line, the pairing
/// window, the tray and the bus say the same thing in the same words. The
/// fixed texts of each vocabulary ("Pairing failed: network", "keyring status
/// -25291") stay where they are; these sentences come after them.
///
/// Pure functions: no I/O, callable from any thread.
namespace zoq::plain {

/// Why the portal could not be reached: "the portal's certificate is not
/// trusted (self-signed certificate) — …". Empty for `unknown`.
std::string words(TransportUnavailable::Problem problem);

/// The same in a few words, for a row's last error: "connection refused",
/// "certificate not trusted (self-signed certificate)". Empty for `unknown`.
std::string briefly(TransportUnavailable::Problem problem);

/// A failed pairing: the transport's problem for `network`, what the
/// portal's refusal means for `rejected`, the code's format for
/// `invalidCode`.
std::string words(const PairingError& error);

/// A keyring that cannot be used: "the desktop keyring is not running or is
/// locked — … (keyring status -25291)".
std::string words(const SecretsError& error);

/// A file system failure in `directory` (the spool, the settings):
/// `io("write", 28)` is "the disk holding DIR is full — …", `io(…, 30)` "DIR
/// is read-only — …", a refused permission names the path. Other errors
/// give their reason text.
std::string words(const CoreError& error, const std::filesystem::path& directory);

/// The same for a failure known only by its text (an event's detail, a
/// stored reason) that carries an `io("operation", errno)` reason: none
/// when the text holds no such reason.
std::optional<std::string> ioWords(std::string_view text, const std::filesystem::path& directory);

/// What to write in the settings to keep the credentials in a private file,
/// and what that means, in one sentence.
std::string fileStoreChoice(const std::filesystem::path& settingsFile);

/// The same choice as a button would offer it.
inline constexpr const char* fileStoreButton = I18N_NOOP("Keep the credentials in a private file instead");
/// What the file store means, for beside that button.
inline constexpr const char* fileStoreMeaning =
    I18N_NOOP("The device credentials are then kept in a file only you can read, in zoq's data folder, "
              "instead of the desktop keyring: anyone who can read your files can use them.");

/// `zoq record` found no sound server to talk to.
inline constexpr const char* noSoundServer = I18N_NOOP(
    "no sound server is running (PulseAudio or PipeWire with pipewire-pulse) — start one (for "
    "example `systemctl --user start pipewire-pulse`, or log in to a desktop session) and try again");

} // namespace zoq::plain
