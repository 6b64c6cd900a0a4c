#pragma once

#include "ZoqCore/Capture/CaptureSegment.h"
#include "ZoqCore/Spool/ArtifactManifest.h"
#include "ZoqCore/Wire/JSONValue.h"

namespace zoq {

/// The JSON form of the manifest records (keys are the field names, optional
/// fields omitted when absent, dates as seconds since 2001-01-01, enumerations
/// as their raw values). Canonical bytes come from `JSONValue::canonicalBytes`.
///
/// Decoding is strict: every object is closed (an unknown key is refused, so
/// nothing in a stored file escapes the checksum, which covers only what was
/// decoded), every required key must be present with its JSON type, integers
/// must be exact. A decoding failure throws `CoreError::corrupt("manifest
/// decoding")`; the embedded upload documents are validated against their wire
/// schema and that rule's `CoreError` propagates.
struct ManifestCodec {
    static JSONValue encode(const CaptureSegment& segment);
    static CaptureSegment decodeCaptureSegment(const JSONValue& value);

    static JSONValue encode(const ArtifactManifest& manifest);
    static ArtifactManifest decodeManifest(const JSONValue& value);
};

} // namespace zoq
