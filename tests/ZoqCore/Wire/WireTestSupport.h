#pragma once

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqCore/Wire/Wire.h"

#include <string>

namespace zoq::test {

/// "ok" when `check` returns, else the `invalid` tag it throws.
template <typename Check>
std::string reasonOf(Check&& check) {
    try {
        check();
        return "ok";
    } catch (const CoreError& error) {
        return error.kind() == CoreError::Kind::invalid ? error.message() : error.reason();
    }
}

/// The reason `text` (JSON) fails `schema` with, or "ok".
inline std::string reasonFor(WireSchema schema, const JSONValue& value) {
    return reasonOf([&] { (void)Wire::validate(value, schema); });
}

inline std::string reasonForText(WireSchema schema, std::string_view json) {
    return reasonFor(schema, JSONValue::parse(json));
}

/// `value` with `key` set to `member` (or removed when `member` is none).
inline JSONValue with(const JSONValue& value, const std::string& key, std::optional<JSONValue> member) {
    JSONValue::Object object = *value.object();
    if (member) {
        object.insert_or_assign(key, *member);
    } else {
        object.erase(key);
    }
    return JSONValue(std::move(object));
}

inline constexpr const char* sampleUUID = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";
inline constexpr const char* sampleSHA = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

inline JSONValue sampleCreateRequest() {
    return JSONValue::parse(
        R"({"schemaVersion":1,"deviceId":"3F2B8C1E-9A4D-4E6F-8B2A-1C3D5E7F9A0B","source":"mac",
        "startedAt":"2025-03-01T10:00:00+01:00","endedAt":"2025-03-01T09:30:00.123456Z","app":"com.example.meetings",
        "direction":"unknown","sha256":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
        "byteSize":1048576,"mediaType":"audio/flac","channelLayout":"split_local_remote","partIndex":0})");
}

inline JSONValue sampleError() {
    return JSONValue::parse(R"({"code":"upload_expired","message":"The upload expired.","retryable":false,
        "recovery":"restart_upload","requestId":"3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b","retryAfterMs":null})");
}

inline JSONValue sampleSingleTransfer() {
    return JSONValue::parse(
        R"({"mode":"single","method":"PUT","url":"https://storage.example.com/b/k?sig=a%2Fb",
        "headers":{"Content-Type":"audio/flac"},"urlExpiresAt":"2025-03-01T10:15:00Z"})");
}

inline JSONValue sampleResponse(std::string_view state) {
    JSONValue value = JSONValue::parse(R"({"uploadId":"3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b",
        "recordingId":"00000000-0000-0000-0000-000000000000","stored":null,"error":null})");
    return with(value, "state", JSONValue(state));
}

inline JSONValue sampleReceipt() {
    return JSONValue::parse(R"({"sha256":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
        "byteSize":1048576,"storedAt":"2025-03-01T10:20:00.5+00:00"})");
}

} // namespace zoq::test
