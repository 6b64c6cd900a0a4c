#pragma once

#include "ZoqCore/Support/Bytes.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqCore/Wire/WireSchema.h"

namespace zoq {

/// A portal document: a schema and a value that passed that schema's rule,
/// held in normalised form. A document that failed validation never exists.
class WireDocument {
public:
    /// Validates `value` (`Wire::validate`); throws its `CoreError`.
    WireDocument(WireSchema schema, const JSONValue& value);
    /// Parses `bytes` (a `JSONSyntaxError` propagates as is), then validates.
    WireDocument(WireSchema schema, ByteView bytes);

    WireSchema schema() const noexcept { return schema_; }
    const JSONValue& value() const noexcept { return value_; }

    /// The canonical JSON of the value (sorted keys, "/" unescaped).
    Bytes encoded() const { return value_.canonicalBytes(); }

    friend bool operator==(const WireDocument&, const WireDocument&) = default;

private:
    WireSchema schema_;
    JSONValue value_;
};

} // namespace zoq
