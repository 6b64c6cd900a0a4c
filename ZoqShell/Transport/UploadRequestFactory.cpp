#include "ZoqShell/Transport/UploadRequestFactory.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/WireDocument.h"
#include "ZoqShell/Transport/PortalURL.h"

#include <algorithm>
#include <cctype>
#include <type_traits>
#include <vector>

namespace zoq {
namespace {

using Object = JSONValue::Object;
using Path = std::vector<std::string>;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Builds the portal requests of one command against one base.
class PortalRequests {
public:
    PortalRequests(std::string_view base, const std::string& accessToken)
        : base_(base), authorization_("Bearer " + accessToken) {}

    TransportRequest get(const Path& path,
                         const std::optional<PortalURL::QueryItem>& query = std::nullopt) const {
        return {"GET", PortalURL::apiURL(base_, path, query), {{"authorization", authorization_}}, {}};
    }

    TransportRequest post(const Path& path, const WireDocument& document) const {
        return {"POST",
                PortalURL::apiURL(base_, path),
                {{"authorization", authorization_}, {"content-type", "application/json"}},
                document.encoded()};
    }

private:
    std::string_view base_;
    std::string authorization_;
};

TransportRequest put(const UploadCommand::Put& command) {
    const Object* target = command.target.object();
    if (target == nullptr) {
        throw CoreError::invalid("transfer target");
    }
    const JSONValue* partNumber = command.target.find("partNumber");
    const JSONValue* method = command.target.find("method");
    // A signed part names no method: the portal signs parts for PUT only. A
    // single-mode transfer must say so itself.
    const bool signedPart = partNumber != nullptr && method == nullptr;
    if (!signedPart && (method == nullptr || method->string() == nullptr || *method->string() != "PUT")) {
        throw CoreError::invalid("transfer method");
    }
    const JSONValue* url = command.target.find("url");
    if (url == nullptr || url->string() == nullptr || !PortalURL::isAbsolute(*url->string())) {
        throw CoreError::invalid("transfer target");
    }
    // Bytes of one part sent to another part's URL would corrupt the upload.
    if (partNumber != nullptr && partNumber->integer() != command.partNumber) {
        throw CoreError::invalid("transfer target");
    }
    TransportRequest request{
        "PUT", *url->string(), {}, FileRange(command.file, command.offset, command.count)};
    if (const JSONValue* headers = command.target.find("headers"); headers != nullptr && headers->object()) {
        for (const auto& [name, value] : *headers->object()) {
            if (value.string() != nullptr && !equalsIgnoringCase(name, "content-length")) {
                request.headers[name] = *value.string();
            }
        }
    }
    request.headers["content-length"] = std::to_string(command.count);
    return request;
}

} // namespace

TransportRequest UploadRequestFactory::make(const UploadCommand& command, std::string_view base,
                                            const std::string& accessToken) {
    const PortalRequests portal(base, accessToken);
    return std::visit(
        [&](const auto& operation) -> TransportRequest {
            using Operation = std::decay_t<decltype(operation)>;
            if constexpr (std::is_same_v<Operation, UploadCommand::Create>) {
                TransportRequest request = portal.post({"uploads"}, operation.metadata.document());
                const WireDocument key(WireSchema::idempotencyKey,
                                       JSONValue(operation.metadata.idempotencyKey()));
                request.headers["idempotency-key"] = *key.value().string();
                return request;
            } else if constexpr (std::is_same_v<Operation, UploadCommand::Status>) {
                return portal.get({"uploads", operation.uploadId});
            } else if constexpr (std::is_same_v<Operation, UploadCommand::Replacement>) {
                return portal.post({"uploads", operation.uploadId, "attempts"},
                                   WireDocument(WireSchema::uploadAttemptsRequest, JSONValue(Object{})));
            } else if constexpr (std::is_same_v<Operation, UploadCommand::ObservedParts>) {
                const WireDocument query(WireSchema::uploadPartsQuery,
                                         JSONValue(Object{{"attemptId", operation.attemptId}}));
                const JSONValue* attemptId = query.value().find("attemptId");
                if (attemptId == nullptr || attemptId->string() == nullptr) {
                    throw CoreError::invalid("parts query");
                }
                return portal.get({"uploads", operation.uploadId, "parts"},
                                  PortalURL::QueryItem{"attemptId", *attemptId->string()});
            } else if constexpr (std::is_same_v<Operation, UploadCommand::SignPart>) {
                return portal.post(
                    {"uploads", operation.uploadId, "parts"},
                    WireDocument(WireSchema::uploadPartsRequest,
                                 JSONValue(Object{{"attemptId", operation.attemptId},
                                                  {"partNumbers", JSONValue::Array{operation.number}}})));
            } else if constexpr (std::is_same_v<Operation, UploadCommand::Put>) {
                return put(operation);
            } else {
                static_assert(std::is_same_v<Operation, UploadCommand::Complete>);
                return portal.post({"uploads", operation.uploadId, "complete"},
                                   WireDocument(WireSchema::uploadCompleteRequest, operation.body));
            }
        },
        command.operation);
}

HTTPReply UploadRequestFactory::reply(const TransportResponse& response) {
    return {response.status, response.body, response.header("etag"), response.retryAfterSeconds()};
}

} // namespace zoq
