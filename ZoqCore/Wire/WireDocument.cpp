#include "ZoqCore/Wire/WireDocument.h"

#include "ZoqCore/Wire/Wire.h"

namespace zoq {

WireDocument::WireDocument(WireSchema schema, const JSONValue& value)
    : schema_(schema), value_(Wire::validate(value, schema)) {}

WireDocument::WireDocument(WireSchema schema, ByteView bytes)
    : WireDocument(schema, JSONValue::parse(bytes)) {}

} // namespace zoq
