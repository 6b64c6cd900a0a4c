#include "ZoqShell/Messages/PlainWords.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Settings/ShellSettings.h"

#include <cerrno>
#include <charconv>
#include <cstring>

namespace zoq::plain {

std::string words(TransportUnavailable::Problem problem) {
    using Problem = TransportUnavailable::Problem;
    const auto certificate = [](const char* what) {
        return substitute(i18n("the portal's certificate is not trusted ({1}) — check the portal address; "
                               "whoever runs the portal must give it a certificate from a trusted authority"),
                          {what});
    };
    switch (problem) {
    case Problem::refused:
        return i18n(
            "nothing answers at the portal's address (connection refused) — check the portal address, "
            "and that the portal is running");
    case Problem::hostNotFound:
        return i18n("the portal's name was not found (host not found) — check the portal address and the "
                    "network connection");
    case Problem::timedOut:
        return i18n("the portal did not answer in time (timed out) — check the network connection; zoq tries "
                    "again later");
    case Problem::broken:
        return i18n("the connection to the portal broke off — zoq tries again later; if it keeps happening, "
                    "check the network connection");
    case Problem::certificateSelfSigned:
        return certificate(i18n("self-signed certificate"));
    case Problem::certificateUntrusted:
        return certificate(i18n("no trusted authority signed it"));
    case Problem::certificateNameMismatch:
        return i18n("the portal's certificate is not trusted (name does not match: it is for another "
                    "address) — check the portal address; use the name the certificate was made for");
    case Problem::certificateExpired:
        return i18n("the portal's certificate is not trusted (expired, or not valid yet) — check this "
                    "computer's date and time; otherwise whoever runs the portal must renew it");
    case Problem::tls:
        return i18n("a secure connection to the portal could not be made (TLS) — check the portal address "
                    "(https or http)");
    case Problem::unknown:
        break;
    }
    return {};
}

std::string briefly(TransportUnavailable::Problem problem) {
    using Problem = TransportUnavailable::Problem;
    switch (problem) {
    case Problem::refused:
        return i18n("connection refused");
    case Problem::hostNotFound:
        return i18n("host not found");
    case Problem::timedOut:
        return i18n("timed out");
    case Problem::broken:
        return i18n("connection broken");
    case Problem::certificateSelfSigned:
        return i18n("certificate not trusted (self-signed certificate)");
    case Problem::certificateUntrusted:
        return i18n("certificate not trusted (unknown authority)");
    case Problem::certificateNameMismatch:
        return i18n("certificate not trusted (name does not match)");
    case Problem::certificateExpired:
        return i18n("certificate not trusted (expired)");
    case Problem::tls:
        return i18n("secure connection failed");
    case Problem::unknown:
        break;
    }
    return {};
}

std::string words(const PairingError& error) {
    switch (error.kind()) {
    case PairingError::Kind::network: {
        std::string text = words(error.problem());
        return text.empty()
                   ? i18n("the portal could not be reached — check the portal address and the network "
                          "connection, then try again")
                   : text;
    }
    case PairingError::Kind::invalidCode:
        return i18n(
            "that is not a pairing code (12 letters and digits, as XXXX-XXXX-XXXX) — copy it again from "
            "the portal");
    case PairingError::Kind::rejected:
        if (error.reason() == "invalid_pairing_code") {
            return substitute(
                i18n("the portal did not accept this pairing code ({1}) — codes are used once and "
                     "expire: create a new one in the portal (Devices → Pair a device)"),
                {error.reason()});
        }
        return substitute(
            i18n("the portal refused the pairing ({1}) — try again with a new code; if it keeps "
                 "failing, ask whoever runs the portal"),
            {error.reason()});
    }
    return {};
}

std::string words(const SecretsError& error) {
    const std::string detail = error.what();
    switch (error.status()) {
    case SecretsError::serviceUnavailable:
    case SecretsError::keyringLocked:
    case SecretsError::noSuchCollection:
    case SecretsError::timedOut:
        return substitute(
            i18n("the desktop keyring is not running or is locked — log in to the desktop (or "
                 "start and unlock a keyring such as GNOME Keyring or KWallet) and try again, or "
                 "keep the credentials in a private file instead ({1})"),
            {detail});
    case SecretsError::accessDenied:
        return substitute(i18n("the desktop keyring refused zoq — allow zoq in the keyring, or keep the "
                               "credentials in a private file instead ({1})"),
                          {detail});
    default:
        return substitute(i18n("the desktop keyring could not be used — try again; if it keeps failing, keep "
                               "the credentials in a private file instead ({1})"),
                          {detail});
    }
}

std::string words(const CoreError& error, const std::filesystem::path& directory) {
    const std::string where = directory.string();
    const std::string detail = error.reason() + ": " + std::strerror(error.code());
    if (error.kind() != CoreError::Kind::io) {
        return error.reason();
    }
    switch (error.code()) {
    case ENOSPC:
    case EDQUOT:
        return substitute(i18n("the disk holding {1} is full — free some space there and try again ({2})"),
                          {where, detail});
    case EROFS:
        return substitute(i18n("{1} is read-only — mount it writable or choose another folder ({2})"),
                          {where, detail});
    case EACCES:
    case EPERM:
        return substitute(
            i18n("zoq may not write to {1} (permission denied) — give your user write access to it ({2})"),
            {where, detail});
    case EIO:
        return substitute(i18n("the disk holding {1} reported an error — check the disk ({2})"),
                          {where, detail});
    default:
        return substitute(i18n("a file operation in {1} failed ({2})"), {where, detail});
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
    const std::string setting = std::string("\"") + ShellSettings::credentialStoreKey + "\": \"" +
                                ShellSettings::fileCredentialStore + "\"";
    return substitute(i18n("To keep the credentials in a private file instead, add\n  {1}\nto {2}. {3}"),
                      {setting, settingsFile.string(), i18n(fileStoreMeaning)});
}

} // namespace zoq::plain
