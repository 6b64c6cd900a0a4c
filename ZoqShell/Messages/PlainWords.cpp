#include "ZoqShell/Messages/PlainWords.h"

#include "ZoqShell/Settings/ShellSettings.h"

#include <cerrno>
#include <charconv>
#include <cstring>

namespace zoq::plain {

std::string words(TransportUnavailable::Problem problem) {
    using Problem = TransportUnavailable::Problem;
    constexpr const char* checkAddress = "check the portal address";
    const auto certificate = [&](const char* what) {
        return std::string("the portal's certificate is not trusted (") + what + ") — " + checkAddress +
               "; whoever runs the portal must give it a certificate from a trusted authority";
    };
    switch (problem) {
    case Problem::refused:
        return std::string("nothing answers at the portal's address (connection refused) — ") + checkAddress +
               ", and that the portal is running";
    case Problem::hostNotFound:
        return std::string("the portal's name was not found (host not found) — ") + checkAddress +
               " and the network connection";
    case Problem::timedOut:
        return "the portal did not answer in time (timed out) — check the network connection; zoq tries "
               "again later";
    case Problem::broken:
        return "the connection to the portal broke off — zoq tries again later; if it keeps happening, "
               "check the network connection";
    case Problem::certificateSelfSigned:
        return certificate("self-signed certificate");
    case Problem::certificateUntrusted:
        return certificate("no trusted authority signed it");
    case Problem::certificateNameMismatch:
        return "the portal's certificate is not trusted (name does not match: it is for another "
               "address) — " +
               std::string(checkAddress) + "; use the name the certificate was made for";
    case Problem::certificateExpired:
        return "the portal's certificate is not trusted (expired, or not valid yet) — check this "
               "computer's date and time; otherwise whoever runs the portal must renew it";
    case Problem::tls:
        return std::string("a secure connection to the portal could not be made (TLS) — ") + checkAddress +
               " (https or http)";
    case Problem::unknown:
        break;
    }
    return {};
}

std::string briefly(TransportUnavailable::Problem problem) {
    using Problem = TransportUnavailable::Problem;
    switch (problem) {
    case Problem::refused:
        return "connection refused";
    case Problem::hostNotFound:
        return "host not found";
    case Problem::timedOut:
        return "timed out";
    case Problem::broken:
        return "connection broken";
    case Problem::certificateSelfSigned:
        return "certificate not trusted (self-signed certificate)";
    case Problem::certificateUntrusted:
        return "certificate not trusted (unknown authority)";
    case Problem::certificateNameMismatch:
        return "certificate not trusted (name does not match)";
    case Problem::certificateExpired:
        return "certificate not trusted (expired)";
    case Problem::tls:
        return "secure connection failed";
    case Problem::unknown:
        break;
    }
    return {};
}

std::string words(const PairingError& error) {
    switch (error.kind()) {
    case PairingError::Kind::network: {
        std::string text = words(error.problem());
        return text.empty() ? "the portal could not be reached — check the portal address and the network "
                              "connection, then try again"
                            : text;
    }
    case PairingError::Kind::invalidCode:
        return "that is not a pairing code (12 letters and digits, as XXXX-XXXX-XXXX) — copy it again from "
               "the portal";
    case PairingError::Kind::rejected:
        if (error.reason() == "invalid_pairing_code") {
            return "the portal did not accept this pairing code (" + error.reason() +
                   ") — codes are used once and expire: create a new one in the portal (Devices → Pair a "
                   "device)";
        }
        return "the portal refused the pairing (" + error.reason() +
               ") — try again with a new code; if it keeps failing, ask whoever runs the portal";
    }
    return {};
}

std::string words(const SecretsError& error) {
    const std::string detail = " (" + std::string(error.what()) + ")";
    switch (error.status()) {
    case SecretsError::serviceUnavailable:
    case SecretsError::keyringLocked:
    case SecretsError::noSuchCollection:
    case SecretsError::timedOut:
        return "the desktop keyring is not running or is locked — log in to the desktop (or start and "
               "unlock a keyring such as GNOME Keyring or KWallet) and try again, or keep the credentials "
               "in a private file instead" +
               detail;
    case SecretsError::accessDenied:
        return "the desktop keyring refused zoq — allow zoq in the keyring, or keep the credentials in a "
               "private file instead" +
               detail;
    default:
        return "the desktop keyring could not be used — try again; if it keeps failing, keep the "
               "credentials in a private file instead" +
               detail;
    }
}

std::string words(const CoreError& error, const std::filesystem::path& directory) {
    const std::string where = directory.string();
    const std::string detail = " (" + error.reason() + ": " + std::strerror(error.code()) + ")";
    if (error.kind() != CoreError::Kind::io) {
        return error.reason();
    }
    switch (error.code()) {
    case ENOSPC:
    case EDQUOT:
        return "the disk holding " + where + " is full — free some space there and try again" + detail;
    case EROFS:
        return where + " is read-only — mount it writable or choose another folder" + detail;
    case EACCES:
    case EPERM:
        return "zoq may not write to " + where +
               " (permission denied) — give your user write access to "
               "it" +
               detail;
    case EIO:
        return "the disk holding " + where + " reported an error — check the disk" + detail;
    default:
        return "a file operation in " + where + " failed" + detail;
    }
}

std::optional<std::string> ioWords(std::string_view text, const std::filesystem::path& directory) {
    // The reason text of `CoreError::io`: io("operation", errno).
    constexpr std::string_view opening = "io(\"";
    const std::size_t start = text.find(opening);
    if (start == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t nameEnd = text.find("\", ", start + opening.size());
    if (nameEnd == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view number = text.substr(nameEnd + 3);
    std::int32_t code = 0;
    const auto [end, failed] = std::from_chars(number.data(), number.data() + number.size(), code);
    if (failed != std::errc() || end == number.data() || end == number.data() + number.size() ||
        *end != ')') {
        return std::nullopt;
    }
    const std::string operation(text.substr(start + opening.size(), nameEnd - start - opening.size()));
    return words(CoreError::io(operation, code), directory);
}

std::string fileStoreChoice(const std::filesystem::path& settingsFile) {
    return std::string("To keep the credentials in a private file instead, add\n  \"") +
           ShellSettings::credentialStoreKey + "\": \"" + ShellSettings::fileCredentialStore + "\"\nto " +
           settingsFile.string() + ". " + fileStoreMeaning;
}

} // namespace zoq::plain
