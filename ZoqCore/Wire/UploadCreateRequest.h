#pragma once

#include "ZoqCore/Wire/WireModel.h"

#include <cstdint>

namespace zoq {

/// The metadata of one recording the device asks the portal to accept.
class UploadCreateRequest : public WireModel<UploadCreateRequest> {
public:
    static constexpr WireSchema schema = WireSchema::uploadCreateRequest;

    /// Throws `CoreError::invalid("schema")` for a document of another schema.
    explicit UploadCreateRequest(const WireDocument& document);

    const std::string& deviceId() const { return text("deviceId"); }
    const std::string& sha256() const { return text("sha256"); }
    std::int64_t byteSize() const { return *json().find("byteSize")->integer(); }

    /// The upload's idempotency key: the content hash, ":" and the device
    /// identifier in lower case, so retries of one recording from one device
    /// name the same upload.
    std::string idempotencyKey() const;
};

} // namespace zoq
