// Feeds arbitrary bytes to the manifest reader, exactly as if they were a
// directory's "manifest.json". Refusals must be CoreError or JSONSyntaxError;
// every accepted manifest must survive encode -> envelope -> read unchanged.
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/ManifestCodec.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/SHA256.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"

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
        const zoq::ArtifactManifest manifest = zoq::Artifact::parseManifest(zoq::ByteView(data, size));
        const zoq::JSONValue envelope = zoq::JSONValue::Object{
            {"checksum", zoq::SHA256::hex(zoq::Artifact::encode(manifest))},
            {"manifest", zoq::ManifestCodec::encode(manifest)}};
        check(zoq::Artifact::parseManifest(envelope.canonicalBytes()) == manifest);
    } catch (const zoq::CoreError&) {
    } catch (const zoq::JSONSyntaxError&) {
    }
    return 0;
}
