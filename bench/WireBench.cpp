// Validation and canonical JSON costs of the portal documents. Targets: well
// above 20 000 status responses per second on one core.
#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqCore/Wire/Wire.h"
#include "ZoqCore/Wire/WireDocument.h"

#include <benchmark/benchmark.h>
#include <string>

namespace {

using zoq::JSONValue;

const char* uuid = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";

JSONValue completeRequest() {
    JSONValue::Array parts;
    for (int number = 1; number <= 1280; ++number) {
        parts.push_back(JSONValue::Object{
            {"partNumber", number},
            {"etag", "\"" + std::to_string(number * 7919) + "0a1b2c3d4e5f60718293a4b5c6d7e8f\""}});
    }
    return JSONValue::Object{{"attemptId", uuid}, {"parts", std::move(parts)}};
}

JSONValue statusResponse() {
    return JSONValue::parse(
        std::string(R"({"uploadId":")") + uuid + R"(","recordingId":")" + uuid +
        R"(","state":"stored","attemptId":")" + uuid +
        R"(","stored":{"sha256":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
            "byteSize":734003200,"storedAt":"2025-03-01T10:20:00.512345+01:00"},"error":null})");
}

// About 4 KB: a signed-parts reply with fourteen presigned URLs and headers.
std::string fourKilobyteDocument() {
    std::string text = R"({"parts":[)";
    for (int number = 1; number <= 14; ++number) {
        if (number > 1) {
            text += ',';
        }
        text +=
            R"({"partNumber":)" + std::to_string(number) +
            R"(,"url":"https://storage.example.com/recordings/2025/03/01/audio.flac?partNumber=)" +
            std::to_string(number) +
            R"(&uploadId=abcdefghijklmnop&X-Algorithm=HMAC-SHA256&X-Signature=0123456789abcdef0123456789abcdef",)"
            R"("headers":{"Content-Type":"audio/flac","x-meta-part":")" +
            std::to_string(number) + R"("},"urlExpiresAt":"2025-03-01T10:15:00Z"})";
    }
    return text + "]}";
}

void validateCompleteRequest1280Parts(benchmark::State& state) {
    const JSONValue value = completeRequest();
    for (auto _ : state) {
        benchmark::DoNotOptimize(zoq::Wire::validate(value, zoq::WireSchema::uploadCompleteRequest));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(validateCompleteRequest1280Parts);

void validateStatusResponseWithReceipt(benchmark::State& state) {
    const JSONValue value = statusResponse();
    for (auto _ : state) {
        benchmark::DoNotOptimize(zoq::Wire::validate(value, zoq::WireSchema::uploadStatusResponse));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(validateStatusResponseWithReceipt);

void statusResponseFromBytes(benchmark::State& state) {
    const zoq::Bytes bytes = statusResponse().canonicalBytes();
    for (auto _ : state) {
        benchmark::DoNotOptimize(zoq::WireDocument(zoq::WireSchema::uploadStatusResponse, bytes));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(statusResponseFromBytes);

void parseAndEncode4KB(benchmark::State& state) {
    const std::string text = fourKilobyteDocument();
    for (auto _ : state) {
        benchmark::DoNotOptimize(JSONValue::parse(text).canonicalText());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.counters["documentBytes"] = static_cast<double>(text.size());
}
BENCHMARK(parseAndEncode4KB);

} // namespace
