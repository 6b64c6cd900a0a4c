// What each error says to the person: what happened first, the technical
// detail after it, and never the bare code alone.
#include "ZoqShell/Messages/PlainWords.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace zoq {
namespace {

struct Said {
    const char* what;
    std::string text;
    /// Must open the sentence: what happened, in words.
    std::string opening;
    /// Must follow later: the technical detail, or the next step.
    std::vector<std::string> later;
};

void expectSaid(const std::vector<Said>& cases) {
    for (const Said& c : cases) {
        EXPECT_TRUE(c.text.starts_with(c.opening)) << c.what << ": " << c.text;
        std::size_t from = c.opening.size();
        for (const std::string& part : c.later) {
            const std::size_t found = c.text.find(part, from);
            EXPECT_NE(found, std::string::npos) << c.what << ": \"" << part << "\" in " << c.text;
            from = found == std::string::npos ? from : found + part.size();
        }
    }
}

TEST(PlainWords, ThePortalThatCannotBeReachedSaysWhyAndWhatToCheck) {
    using Problem = TransportUnavailable::Problem;
    expectSaid({
        {"self-signed",
         plain::words(Problem::certificateSelfSigned),
         "the portal's certificate is not trusted (self-signed certificate)",
         {"check the portal address"}},
        {"other name",
         plain::words(Problem::certificateNameMismatch),
         "the portal's certificate is not trusted (name does not match",
         {"check the portal address"}},
        {"expired",
         plain::words(Problem::certificateExpired),
         "the portal's certificate is not trusted (expired",
         {"date and time"}},
        {"unknown authority",
         plain::words(Problem::certificateUntrusted),
         "the portal's certificate is not trusted (",
         {"trusted authority"}},
        {"refused",
         plain::words(Problem::refused),
         "nothing answers at the portal's address (connection refused)",
         {"running"}},
        {"no such host",
         plain::words(Problem::hostNotFound),
         "the portal's name was not found (host not found)",
         {"network"}},
        {"timed out", plain::words(Problem::timedOut), "the portal did not answer in time (timed out)", {}},
        {"pairing over the network",
         plain::words(PairingError::network(Problem::certificateSelfSigned)),
         "the portal's certificate is not trusted (self-signed certificate)",
         {}},
        {"pairing without a known cause",
         plain::words(PairingError::network()),
         "the portal could not be reached",
         {"portal address"}},
        {"refused code",
         plain::words(PairingError::rejected("invalid_pairing_code")),
         "the portal did not accept this pairing code (invalid_pairing_code)",
         {"create a new one"}},
        {"mistyped code", plain::words(PairingError::invalidCode()), "that is not a pairing code", {"XXXX"}},
    });
    EXPECT_EQ(plain::words(Problem::unknown), "") << "nothing is made up";
}

TEST(PlainWords, KeyringAndDiskSayWhatHappenedBeforeTheirCodes) {
    expectSaid({
        {"no keyring",
         plain::words(SecretsError::osStatus(SecretsError::serviceUnavailable)),
         "the desktop keyring is not running or is locked",
         {"private file instead", "(keyring status -25291"}},
        {"locked",
         plain::words(SecretsError::osStatus(SecretsError::keyringLocked)),
         "the desktop keyring is not running or is locked",
         {"(keyring status -25308"}},
        {"refused",
         plain::words(SecretsError::osStatus(SecretsError::accessDenied, "not allowed")),
         "the desktop keyring refused zoq",
         {"(keyring status -26903", "not allowed"}},
        {"full",
         plain::words(CoreError::io("write", ENOSPC), "/srv/spool"),
         "the disk holding /srv/spool is full",
         {"free some space", "(io(\"write\", 28)"}},
        {"read-only",
         plain::words(CoreError::io("open lock", EROFS), "/media/card/spool"),
         "/media/card/spool is read-only",
         {"(io(\"open lock\", 30)"}},
        {"permission",
         plain::words(CoreError::io("create", EACCES), "/var/spool/zoq"),
         "zoq may not write to /var/spool/zoq (permission denied)",
         {"(io(\"create\", 13)"}},
        {"not a file error",
         plain::words(CoreError::corrupt("manifest checksum"), "/srv/spool"),
         "corrupt(\"manifest checksum\")",
         {}},
        {"an event's detail",
         plain::ioWords("finalize_failed:io(\"write\", 28) while encoding", "/srv/spool").value_or(""),
         "the disk holding /srv/spool is full",
         {"(io(\"write\", 28)"}},
        {"the file store",
         plain::fileStoreChoice("/home/a/.config/zoq/settings.json"),
         "To keep the credentials in a private file instead, add\n  \"credentialStore\": \"file\"\nto "
         "/home/a/.config/zoq/settings.json.",
         {"only you can read"}},
    });
    for (const char* text : {"io(\"write\", x)", "io(\"write", "finalize_failed:corrupt(\"x\")", ""}) {
        EXPECT_FALSE(plain::ioWords(text, "/srv/spool")) << text;
    }
}

} // namespace
} // namespace zoq
