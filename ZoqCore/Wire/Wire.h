#pragma once

#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqCore/Wire/WireSchema.h"

namespace zoq {

/// The validator of portal documents.
struct Wire {
    /// Checks `value` against the closed rule of `schema` and returns it
    /// normalised: strings NFC where the rule says so, timestamps canonical,
    /// pairing codes without dashes in upper case, and in an upload create
    /// request an absent `contactLabel` written as null and an absent
    /// `interrupted` as false. Keys are checked in a fixed order per schema and
    /// the first failing check throws `CoreError::invalid(reason)`; nothing is
    /// partially accepted. Validation is idempotent: validating the result
    /// returns it unchanged. Thread-safe.
    static JSONValue validate(const JSONValue& value, WireSchema schema);
};

} // namespace zoq
