#pragma once

#include "ZoqCore/Support/Bytes.h"
#include "ZoqCore/Wire/WireDocument.h"

#include <optional>
#include <string>

namespace zoq {

/// Base of the typed document wrappers. `Model` names its `static constexpr
/// WireSchema schema` and a constructor from a `WireDocument`; this adds
/// reading from a JSON value or bytes (validated against `Model::schema`) and
/// the stored form, which is exactly the document's value.
template <typename Model>
class WireModel {
public:
    /// Validates `value` as a `Model::schema` document; throws `CoreError`.
    static Model fromJSON(const JSONValue& value) { return Model(WireDocument(Model::schema, value)); }
    /// Parses and validates; throws `JSONSyntaxError` or `CoreError`.
    static Model fromBytes(ByteView bytes) { return Model(WireDocument(Model::schema, bytes)); }

    const WireDocument& document() const noexcept { return document_; }
    /// The form stored in manifests and the credential snapshot.
    const JSONValue& json() const noexcept { return document_.value(); }

    friend bool operator==(const WireModel&, const WireModel&) = default;

protected:
    explicit WireModel(const WireDocument& document) : document_(document) {}

    /// The string under `key` of the validated object (the schema guarantees it).
    const std::string& text(std::string_view key) const { return *json().find(key)->string(); }
    std::optional<std::string> optionalText(std::string_view key) const {
        const JSONValue* member = json().find(key);
        return member != nullptr && member->string() != nullptr ? std::optional(*member->string())
                                                                : std::nullopt;
    }

private:
    WireDocument document_;
};

} // namespace zoq
