#include "tools/dev-portal/PairingCode.h"
#include "tools/dev-portal/PortalError.h"
#include "tools/dev-portal/PortalFaults.h"
#include "tools/dev-portal/PortalState.h"

#include "ZoqCore/Wire/Wire.h"

#include <gtest/gtest.h>

namespace zoq::portal {
namespace {

using Object = JSONValue::Object;

TEST(PairingCode, AcceptsWhatTheDeviceAcceptsAndShowsThreeGroups) {
    for (const char* text : {"ABCD-EFGH-JKMN", "abcdefghjkmn", " ab-cdefgh-jk-mn\n"}) {
        const PairingCode code(text);
        EXPECT_EQ(code.normalized(), "ABCDEFGHJKMN") << text;
        EXPECT_EQ(code.display(), "ABCD-EFGH-JKMN");
    }
    for (const char* text : {"ABCD-EFGH-JKMI", "ABCD-EFGH-JKML", "ABCD-EFGH-JKMO", "ABCD-EFGH-JKMU",
                             "ABCD-EFGH-JKM", "ABCD-EFGH-JKMNP", "ABCD EFGH JKMN", ""}) {
        EXPECT_THROW(PairingCode{text}, PortalError) << text;
    }
    // A random code is one the wire accepts.
    const PairingCode random = PairingCode::random();
    const JSONValue created = Object{{"code", random.display()},
                                     {"expiresAt", "2026-12-07T10:00:00Z"},
                                     {"pairingId", "6f1c2a8e-3b4d-4e5f-8a9b-0c1d2e3f4a5b"}};
    EXPECT_EQ(*Wire::validate(created, WireSchema::pairingCreateResponse).find("code")->string(),
              random.normalized());
}

TEST(PortalFaults, AppliesOnlyWhatIsNamedAndRefusesWholeChangesThatBreakARule) {
    PortalFaults faults;
    faults.apply(JSONValue::parse(R"({"unavailableRate":0.25,"malformedReplies":2})"));
    PortalFaults expected;
    expected.unavailableRate = 0.25;
    expected.malformedReplies = 2;
    EXPECT_EQ(faults, expected);

    for (const char* change :
         {R"({"unavailableRate":1.5})", R"({"loseRefreshReplies":-1})", R"({"partsAlreadyHeld":1})",
          R"({"malformedReplies":1.5})", R"({"urlLifetime":5})",
          R"({"uploadExpiredOnce":true,"retryAfterSeconds":"7"})", "[]"}) {
        EXPECT_THROW(faults.apply(JSONValue::parse(change)), PortalError) << change;
        EXPECT_EQ(faults, expected) << "nothing of a refused change applies: " << change;
    }

    PortalFaults everything;
    everything.apply(
        JSONValue::parse(R"({"unavailableRate":0.5,"retryAfterSeconds":3,"unauthorizedFirstUse":true,
        "loseRefreshReplies":4,"urlLifetimeSeconds":2.5,"uploadExpiredOnce":true,"partsAlreadyHeld":true,
        "malformedReplies":1})"));
    PortalFaults copy;
    copy.apply(everything.json());
    EXPECT_EQ(copy, everything) << "json() names every switch";
}

TEST(PortalState, EveryFieldSurvivesTheStateFileAndDamageIsRefused) {
    PortalState state;
    PortalDevice device{"a1", "i1", "access", Date{10}, "refresh", Date{20}, {"old1", "old2"},
                        true, true, false};
    state.devices.emplace("a1", device);
    state.pairings.emplace("nonce", Object{{"deviceId", "a1"}});
    state.refreshes.emplace("r1", AnsweredRefresh{"old2", Object{{"accessToken", "access"}}});
    PortalUpload upload;
    upload.uploadId = "u1";
    upload.recordingId = "rec";
    upload.deviceId = "a1";
    upload.idempotencyKey = "key";
    upload.metadata = Object{{"byteSize", 5}};
    upload.state = "verifying";
    upload.attemptId = "at";
    upload.attemptExpiresAt = Date{30.5};
    upload.multipart = true;
    upload.partCount = 2;
    upload.parts[1] = PortalPart{1, 16, "sha", "\"etag\""};
    upload.attempts = 3;
    upload.pollsLeft = 1;
    upload.receivedSHA256 = "sha";
    upload.receivedByteSize = 5;
    upload.storedAt = Date{40};
    upload.storedCount = 1;
    upload.expiredOnce = true;
    upload.withheldParts = {1, 2};
    state.uploads.emplace("u1", upload);
    state.grants.emplace("token", StorageGrant{"u1", "at", 2, Date{50}});

    EXPECT_EQ(PortalState::fromJSON(JSONValue::parse(state.json().canonicalText())), state);
    EXPECT_EQ(PortalState::fromJSON(PortalState{}.json()), PortalState{});

    Object damaged = *state.json().object();
    damaged.erase("grants");
    EXPECT_THROW(PortalState::fromJSON(damaged), PortalError);
    damaged = *state.json().object();
    damaged["version"] = 2;
    EXPECT_THROW(PortalState::fromJSON(damaged), PortalError);
    EXPECT_THROW(PortalState::fromJSON(JSONValue("state")), PortalError);
}

} // namespace
} // namespace zoq::portal
