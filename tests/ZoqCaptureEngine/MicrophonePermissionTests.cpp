#include "ZoqCaptureEngine/AudioBackendError.h"
#include "ZoqCaptureEngine/MicrophonePermission.h"
#include "ZoqCaptureEngine/ScriptedAudioBackend.h"

#include <gtest/gtest.h>
#include <thread>

namespace zoq {
namespace {

using State = MicrophoneAuthorizationState;
using Detail = MicrophonePermissionDetail;

TEST(MicrophonePermissionVocabulary, StatesDetailsAndTheirMappings) {
    struct Row {
        std::int64_t status;
        State state;
        std::string_view raw;
        std::optional<Detail> detail;
        std::string_view detailText;
    };
    const Row rows[] = {
        {0, State::notDetermined, "notDetermined", Detail::notDetermined, "not_determined"},
        {1, State::restricted, "restricted", Detail::restricted, "tcc_restricted"},
        {2, State::denied, "denied", Detail::denied, "tcc_denied"},
        {3, State::authorized, "authorized", std::nullopt, ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(microphoneStateFromStatus(row.status), row.state);
        EXPECT_EQ(rawValue(row.state), row.raw);
        EXPECT_EQ(permissionDetail(row.state), row.detail);
        if (row.detail) {
            EXPECT_EQ(rawValue(*row.detail), row.detailText);
            EXPECT_EQ(microphoneStateFromDetail(row.detailText), row.state);
        }
    }
    EXPECT_EQ(microphoneStateFromStatus(4), State::denied);
    EXPECT_EQ(microphoneStateFromStatus(-1), State::denied);
    EXPECT_EQ(rawValue(Detail::promptDenied), "avcapture_denied");
    EXPECT_EQ(microphoneStateFromDetail("avcapture_denied"), State::denied);
    EXPECT_EQ(rawValue(Detail::unknownStatus), "unknown_status");
    EXPECT_EQ(microphoneStateFromDetail("unknown_status"), std::nullopt);
    EXPECT_EQ(microphoneStateFromDetail("anything"), std::nullopt);
}

TEST(MicrophonePermissionRequester, AsksOnlyWhenNotDeterminedAndWaitsForTheAnswerWithALimit) {
    int requests = 0;
    std::int64_t status = 3;
    const auto current = [&] { return status; };
    const auto answer = [&](bool granted) {
        return [&, granted](const std::function<void(bool)>& completion) {
            ++requests;
            status = granted ? 3 : 2;
            completion(granted);
        };
    };
    using namespace MicrophonePermissionRequester;
    EXPECT_EQ(requestOnceIfNotDetermined(1, current, answer(true)),
              (MicrophonePermissionResult{State::authorized, State::authorized, true, false}));
    status = 2;
    EXPECT_EQ(requestOnceIfNotDetermined(1, current, answer(true)),
              (MicrophonePermissionResult{State::denied, State::denied, false, false}));
    status = 9;
    EXPECT_EQ(requestOnceIfNotDetermined(1, current, answer(true)),
              (MicrophonePermissionResult{State::denied, State::denied, false, false}));
    EXPECT_EQ(requests, 0);

    status = 0;
    EXPECT_EQ(requestOnceIfNotDetermined(5, current, answer(true)),
              (MicrophonePermissionResult{State::notDetermined, State::authorized, true, false}));
    status = 0;
    EXPECT_EQ(requestOnceIfNotDetermined(5, current, answer(false)),
              (MicrophonePermissionResult{State::notDetermined, State::denied, false, false}));
    EXPECT_EQ(requests, 2);

    // Nobody answers in time; the answer that comes later changes nothing.
    status = 0;
    std::function<void(bool)> late;
    EXPECT_EQ(
        requestOnce(0.02, current, [&](const std::function<void(bool)>& completion) { late = completion; }),
        (MicrophonePermissionResult{State::notDetermined, State::notDetermined, false, true}));
    std::thread([&] { late(true); }).join();
}

TEST(SoundServerMicrophoneAccess, AuthorizedWhenTheServerAcceptsCaptureDeniedWhenItRefusesAccess) {
    ScriptedAudioBackend backend(std::chrono::milliseconds(20));
    backend.addSink("speakers", AudioFormat{"float32le", 48'000, 2, {"front-left", "front-right"}});
    backend.addSource("mic", AudioFormat{"float32le", 48'000, 1, {"mono"}});
    backend.setDefaults("mic", "speakers");
    const SoundServerMicrophoneAccess access(backend);

    EXPECT_EQ(access.status(), SoundServerMicrophoneAccess::authorizedStatus);
    EXPECT_EQ(backend.openStreamCount(), 0u);
    EXPECT_EQ(access.requestOnceIfNotDetermined(115),
              (MicrophonePermissionResult{State::authorized, State::authorized, true, false}));
    backend.failNext(ScriptedAudioBackend::Call::openRecordStream, AudioBackendError::accessDenied);
    EXPECT_EQ(access.status(), SoundServerMicrophoneAccess::deniedStatus);
    backend.failNext(ScriptedAudioBackend::Call::openRecordStream, AudioBackendError::noEntity);
    EXPECT_EQ(access.status(), SoundServerMicrophoneAccess::unknownStatus);
    backend.setDefaults("", "speakers");
    EXPECT_EQ(access.status(), SoundServerMicrophoneAccess::unknownStatus);
    EXPECT_EQ(microphoneStateFromStatus(access.status()), State::denied);
}

} // namespace
} // namespace zoq
