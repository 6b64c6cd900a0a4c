#include "ZoqCore/Wire/WireSchema.h"

namespace zoq {

std::string_view rawValue(WireSchema schema) noexcept {
    static constexpr std::array<std::string_view, allWireSchemas.size()> names = {
        "UploadCreateRequest",    "UploadCreateResponse",
        "UploadPendingResponse",  "UploadStatusResponse",
        "UploadCompleteResponse", "UploadTransfer",
        "UploadPartsRequest",     "UploadPartsResponse",
        "UploadPartsQuery",       "UploadObservedPartsResponse",
        "UploadCompleteRequest",  "UploadAttemptsRequest",
        "PairingCreateRequest",   "PairingCreateResponse",
        "PairingRedeemRequest",   "DeviceCredentialsResponse",
        "DeviceRefreshRequest",   "ErrorEnvelope",
        "IdempotencyKey",
    };
    return names[static_cast<std::size_t>(schema)];
}

std::optional<WireSchema> wireSchemaNamed(std::string_view raw) noexcept {
    for (const WireSchema schema : allWireSchemas) {
        if (rawValue(schema) == raw) {
            return schema;
        }
    }
    return std::nullopt;
}

} // namespace zoq
