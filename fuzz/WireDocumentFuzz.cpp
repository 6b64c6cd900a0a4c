// Feeds arbitrary bytes to WireDocument for every schema (the first byte picks
// it). Refusals must be CoreError or JSONSyntaxError; every accepted document
// must re-validate to itself and survive encode -> parse -> validate unchanged.
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "ZoqCore/Wire/Wire.h"
#include "ZoqCore/Wire/WireDocument.h"

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
    if (size == 0) {
        return 0;
    }
    const zoq::WireSchema schema = zoq::allWireSchemas[data[0] % zoq::allWireSchemas.size()];
    const zoq::ByteView bytes(data + 1, size - 1);
    try {
        const zoq::WireDocument document(schema, bytes);
        check(zoq::Wire::validate(document.value(), schema) == document.value());
        const zoq::Bytes encoded = document.encoded();
        const zoq::WireDocument again(schema, encoded);
        check(again == document);
        check(again.encoded() == encoded);
    } catch (const zoq::CoreError&) {
    } catch (const zoq::JSONSyntaxError&) {
    } catch (...) {
        __builtin_trap();
    }
    // Any value that parses must also write and read back exactly.
    try {
        const zoq::JSONValue value = zoq::JSONValue::parse(bytes);
        const std::string text = value.canonicalText();
        check(zoq::JSONValue::parse(text) == value);
        check(zoq::JSONValue::parse(text).canonicalText() == text);
    } catch (const zoq::JSONSyntaxError&) {
    } catch (...) {
        __builtin_trap();
    }
    return 0;
}
