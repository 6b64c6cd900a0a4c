#include "ZoqCore/Upload/CredentialSnapshot.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/TestSupport/CredentialTestSupport.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace zoq {
namespace {

using test::caughtError;

constexpr const char* device = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";
constexpr const char* request = "8d1c2b3a-4e5f-4a6b-9c7d-0e1f2a3b4c5d";

CredentialSnapshot pendingSnapshot() {
    CredentialSnapshot snapshot(test::sampleCredentials(device, "refresh-7"), 7);
    snapshot.pending = PendingRefresh{request, 7, Date{757'000'000.25}};
    return snapshot;
}

// The stored form is what a later run (and an older or newer build) reads back,
// so its exact text is pinned here.
TEST(CredentialSnapshot, StoredFormIsPinnedAndRoundTrips) {
    const CredentialSnapshot fresh(test::sampleCredentials(device, "refresh-0"), 0);
    const std::string credentials = fresh.credentials.json().canonicalText();
    EXPECT_EQ(textOf(fresh.encoded()),
              R"({"blocked":false,"credentials":)" + credentials + R"(,"generation":0})");

    CredentialSnapshot blocked = pendingSnapshot();
    blocked.blocked = true;
    EXPECT_EQ(
        textOf(blocked.encoded()),
        R"({"blocked":true,"credentials":)" + pendingSnapshot().credentials.json().canonicalText() +
            R"(,"generation":7,"pending":{"generation":7,"requestId":"8d1c2b3a-4e5f-4a6b-9c7d-0e1f2a3b4c5d",)"
            R"("startedAt":757000000.25}})");

    for (const CredentialSnapshot& snapshot : {fresh, pendingSnapshot(), blocked}) {
        EXPECT_EQ(CredentialSnapshot::fromBytes(snapshot.encoded()), snapshot);
    }
}

// The portal origin is one more member, written only when known: snapshots
// saved before it existed read as before, and every reader of the new form
// gets it back.
TEST(CredentialSnapshot, PortalOriginIsAnOptionalMemberThatRoundTrips) {
    CredentialSnapshot bound = pendingSnapshot();
    bound.origin = "https://portal.example:443";
    const std::string text = textOf(bound.encoded());
    EXPECT_NE(text.find(R"("origin":"https://portal.example:443")"), std::string::npos) << text;
    EXPECT_EQ(CredentialSnapshot::fromBytes(bound.encoded()), bound);

    const CredentialSnapshot legacy = CredentialSnapshot::fromBytes(pendingSnapshot().encoded());
    EXPECT_EQ(legacy.origin, std::nullopt);
    EXPECT_EQ(textOf(legacy.encoded()).find("origin"), std::string::npos);
}

TEST(CredentialSnapshot, DecodingRejectsAnythingOffTheStoredForm) {
    const JSONValue good = pendingSnapshot().json();
    const auto edited = [&](const std::string& key, std::optional<JSONValue> member) {
        JSONValue::Object object = *good.object();
        member ? void(object.insert_or_assign(key, *member)) : void(object.erase(key));
        return JSONValue(std::move(object));
    };
    const auto pendingWith = [&](const std::string& key, std::optional<JSONValue> member) {
        JSONValue::Object pending = *good.find("pending")->object();
        member ? void(pending.insert_or_assign(key, *member)) : void(pending.erase(key));
        return edited("pending", JSONValue(std::move(pending)));
    };
    JSONValue::Object badCredentials = *good.find("credentials")->object();
    badCredentials.insert_or_assign("deviceId", "not-a-device");
    JSONValue::Object partialCredentials = *good.find("credentials")->object();
    partialCredentials.erase("refreshToken");

    const struct {
        const char* name;
        JSONValue value;
        const char* reason;
    } cases[] = {
        {"array", JSONValue(JSONValue::Array{}), "closed object"},
        {"blocked missing", edited("blocked", std::nullopt), "closed object"},
        {"unknown key", edited("extra", JSONValue(1)), "closed object"},
        {"pending null", edited("pending", JSONValue(nullptr)), "closed object"},
        {"pending unknown key", pendingWith("extra", JSONValue(1)), "closed object"},
        {"credentials partial", edited("credentials", JSONValue(partialCredentials)), "closed object"},
        {"credentials device", edited("credentials", JSONValue(badCredentials)), "format"},
        {"generation negative", edited("generation", JSONValue(-1)), "integer range"},
        {"generation fraction", edited("generation", JSONValue(7.5)), "integer range"},
        {"generation text", edited("generation", JSONValue("7")), "integer range"},
        {"generation 2^53", edited("generation", JSONValue(9007199254740992.0)), "integer range"},
        {"pending generation text", pendingWith("generation", JSONValue("7")), "integer range"},
        {"pending generation other", pendingWith("generation", JSONValue(6)), "pending generation"},
        {"requestId", pendingWith("requestId", JSONValue("refresh-1")), "format"},
        {"startedAt text", pendingWith("startedAt", JSONValue("2025-01-01T00:00:00Z")), "number"},
        {"blocked number", edited("blocked", JSONValue(0)), "boolean"},
        {"origin number", edited("origin", JSONValue(443)), "string"},
        {"origin empty", edited("origin", JSONValue("")), "string"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(caughtError([&] { (void)CredentialSnapshot::fromJSON(c.value); }),
                  CoreError::invalid(c.reason))
            << c.name;
    }
}

// A blob cut short anywhere (a torn write, a truncated copy) never decodes.
TEST(CredentialSnapshot, EveryTruncatedBlobIsRejected) {
    const Bytes blob = pendingSnapshot().encoded();
    for (std::size_t size = 0; size < blob.size(); ++size) {
        const CoreError error =
            caughtError([&] { (void)CredentialSnapshot::fromBytes(ByteView(blob.data(), size)); });
        EXPECT_EQ(error.kind(), CoreError::Kind::invalid) << size;
    }
    const Bytes duplicate = bytesOf(R"({"blocked":false,"blocked":true})");
    EXPECT_EQ(caughtError([&] { (void)CredentialSnapshot::fromBytes(duplicate); }),
              CoreError::invalid("json"));
}

TEST(CredentialSnapshot, RefreshRequestNeedsAPendingRefresh) {
    const CredentialSnapshot snapshot = pendingSnapshot();
    EXPECT_EQ(snapshot.refreshRequest().value(),
              JSONValue(JSONValue::Object{{"refreshToken", "refresh-7"}, {"requestId", request}}));
    EXPECT_EQ(snapshot.refreshRequest().schema(), WireSchema::deviceRefreshRequest);

    const CredentialSnapshot idle(snapshot.credentials, 7);
    EXPECT_EQ(caughtError([&] { (void)idle.refreshRequest(); }), CoreError::invalidState());
}

TEST(CredentialSnapshot, UnencodableStartTimeIsAnError) {
    CredentialSnapshot snapshot = pendingSnapshot();
    for (const double startedAt : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        snapshot.pending->startedAt = Date{startedAt};
        EXPECT_EQ(caughtError([&] { (void)snapshot.encoded(); }), CoreError::invalid("number"));
    }
}

} // namespace
} // namespace zoq
