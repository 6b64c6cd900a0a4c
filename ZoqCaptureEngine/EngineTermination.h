#pragma once

#include "ZoqCore/Capture/CaptureMachine.h"

#include <optional>
#include <string>

namespace zoq {

/// How one capture engine run ended. Set once, when the engine shuts down.
struct EngineTermination {
    enum class Kind : unsigned char {
        /// A permission the run needs is not granted (`service`, `detail`).
        permissionNotGranted,
        /// The permission looks granted but yields no audio (`detail`).
        deadGrant,
        /// The run failed; `detail` is the failure text ("tap_start_failed:…").
        failure,
        /// Asked to stop, or its time was up.
        stopped,
    };

    Kind kind = Kind::stopped;
    std::string service;
    std::string detail;
    /// A failure that came while a call was being recorded: where that call
    /// goes on (see `EngineConfiguration::continuation`).
    std::optional<CallContinuation> call;

    static EngineTermination permissionNotGranted(std::string service, std::string detail) {
        return {Kind::permissionNotGranted, std::move(service), std::move(detail), {}};
    }
    static EngineTermination deadGrant(std::string detail) {
        return {Kind::deadGrant, {}, std::move(detail), {}};
    }
    static EngineTermination failure(std::string text) { return {Kind::failure, {}, std::move(text), {}}; }
    static EngineTermination stopped() { return {}; }

    /// The case name with its payload: `stopped`, `failure("…")`,
    /// `deadGrant(detail: "…")`, `permissionNotGranted(service: "…", detail: "…")`.
    std::string description() const;

    friend bool operator==(const EngineTermination&, const EngineTermination&) = default;
};

} // namespace zoq
