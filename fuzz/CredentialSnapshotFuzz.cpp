// Feeds arbitrary bytes to the credential snapshot decoder, as a damaged
// keyring blob would. Refusals must be CoreError (never another exception, so
// callers can tell a bad blob from a keyring failure); every accepted snapshot
// must encode and decode back to itself, with stable bytes.
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Upload/CredentialSnapshot.h"

#include <cstddef>
#include <cstdint>

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const zoq::CredentialSnapshot snapshot =
            zoq::CredentialSnapshot::fromBytes(zoq::ByteView(data, size));
        check(!snapshot.pending || snapshot.pending->generation == snapshot.generation);
        const zoq::Bytes encoded = snapshot.encoded();
        const zoq::CredentialSnapshot again = zoq::CredentialSnapshot::fromBytes(encoded);
        check(again == snapshot);
        check(again.encoded() == encoded);
    } catch (const zoq::CoreError&) {
    } catch (...) {
        __builtin_trap();
    }
    return 0;
}
