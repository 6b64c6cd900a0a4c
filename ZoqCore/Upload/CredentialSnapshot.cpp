#include "ZoqCore/Upload/CredentialSnapshot.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "ZoqCore/Wire/WireFields.h"
#include "ZoqCore/Wire/WirePattern.h"

namespace zoq {
namespace {

using F = WireFields;

std::int64_t generationOf(const JSONValue& value) {
    return *F::integer(value, 0, CredentialSnapshot::maxGeneration).integer();
}

PendingRefresh pendingOf(const JSONValue& value) {
    const JSONValue::Object& object = F::closedObject(value, {"requestId", "generation", "startedAt"});
    PendingRefresh pending;
    pending.requestId = *F::pattern(object.find("requestId")->second, WirePattern::uuid()).string();
    pending.generation = generationOf(object.find("generation")->second);
    const std::optional<double> startedAt = object.find("startedAt")->second.number();
    if (!startedAt) {
        throw CoreError::invalid("number");
    }
    pending.startedAt = Date{*startedAt};
    return pending;
}

} // namespace

WireDocument CredentialSnapshot::refreshRequest() const {
    if (!pending) {
        throw CoreError::invalidState();
    }
    return WireDocument(WireSchema::deviceRefreshRequest,
                        JSONValue(JSONValue::Object{{"refreshToken", credentials.refreshToken()},
                                                    {"requestId", pending->requestId}}));
}

JSONValue CredentialSnapshot::json() const {
    JSONValue::Object object{
        {"credentials", credentials.json()},
        {"generation", generation},
        {"blocked", blocked},
    };
    if (origin) {
        object.emplace("origin", *origin);
    }
    if (pending) {
        object.emplace("pending", JSONValue::Object{{"requestId", pending->requestId},
                                                    {"generation", pending->generation},
                                                    {"startedAt", pending->startedAt.sinceReferenceDate}});
    }
    return JSONValue(std::move(object));
}

CredentialSnapshot CredentialSnapshot::fromJSON(const JSONValue& value) {
    const JSONValue::Object& object =
        F::closedObject(value, {"credentials", "generation", "blocked"}, {"pending", "origin"});
    CredentialSnapshot snapshot(DeviceCredentialsResponse::fromJSON(object.find("credentials")->second),
                                generationOf(object.find("generation")->second));
    if (const auto member = object.find("pending"); member != object.end()) {
        snapshot.pending = pendingOf(member->second);
        if (snapshot.pending->generation != snapshot.generation) {
            throw CoreError::invalid("pending generation");
        }
    }
    snapshot.blocked = *F::boolean(object.find("blocked")->second).boolean();
    if (const auto member = object.find("origin"); member != object.end()) {
        const std::string* text = member->second.string();
        if (text == nullptr || text->empty()) {
            throw CoreError::invalid("string");
        }
        snapshot.origin = *text;
    }
    return snapshot;
}

CredentialSnapshot CredentialSnapshot::fromBytes(ByteView bytes) {
    JSONValue value;
    try {
        value = JSONValue::parse(bytes);
    } catch (const JSONSyntaxError&) {
        throw CoreError::invalid("json");
    }
    return fromJSON(value);
}

} // namespace zoq
