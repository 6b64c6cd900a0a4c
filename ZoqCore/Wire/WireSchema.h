#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zoq {

/// The kinds of portal document, in their fixed order. Each one's raw value
/// (`rawValue`) is its PascalCase name, e.g. "UploadCreateRequest".
enum class WireSchema : std::uint8_t {
    uploadCreateRequest,
    uploadCreateResponse,
    uploadPendingResponse,
    uploadStatusResponse,
    uploadCompleteResponse,
    uploadTransfer,
    uploadPartsRequest,
    uploadPartsResponse,
    uploadPartsQuery,
    uploadObservedPartsResponse,
    uploadCompleteRequest,
    uploadAttemptsRequest,
    pairingCreateRequest,
    pairingCreateResponse,
    pairingRedeemRequest,
    deviceCredentialsResponse,
    deviceRefreshRequest,
    errorEnvelope,
    idempotencyKey,
};

/// Every schema, in order.
inline constexpr std::array<WireSchema, 19> allWireSchemas = {
    WireSchema::uploadCreateRequest,    WireSchema::uploadCreateResponse,
    WireSchema::uploadPendingResponse,  WireSchema::uploadStatusResponse,
    WireSchema::uploadCompleteResponse, WireSchema::uploadTransfer,
    WireSchema::uploadPartsRequest,     WireSchema::uploadPartsResponse,
    WireSchema::uploadPartsQuery,       WireSchema::uploadObservedPartsResponse,
    WireSchema::uploadCompleteRequest,  WireSchema::uploadAttemptsRequest,
    WireSchema::pairingCreateRequest,   WireSchema::pairingCreateResponse,
    WireSchema::pairingRedeemRequest,   WireSchema::deviceCredentialsResponse,
    WireSchema::deviceRefreshRequest,   WireSchema::errorEnvelope,
    WireSchema::idempotencyKey,
};

/// The raw value, e.g. "UploadStatusResponse".
std::string_view rawValue(WireSchema schema) noexcept;

/// The schema whose raw value is exactly `raw` (case-sensitive), or none.
std::optional<WireSchema> wireSchemaNamed(std::string_view raw) noexcept;

} // namespace zoq
