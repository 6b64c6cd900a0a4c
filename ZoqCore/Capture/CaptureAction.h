#pragma once

#include "ZoqCore/Capture/CaptureSegment.h"
#include "ZoqCore/Support/Bytes.h"
#include "ZoqCore/Support/Date.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <variant>

namespace zoq {

/// One decision of the `CaptureMachine`, for its owner to apply to the spool.
/// Owners apply a returned list in order and stop at the first failure.
///
/// A value type: equatable, copyable, printable. Build one with the factories;
/// read it with `kind()` and the accessor of that kind, or `std::visit` over
/// `payload()`.
class CaptureAction {
public:
    /// Open a new part with this identity.
    struct Begin {
        CaptureSegment segment;
        friend bool operator==(const Begin&, const Begin&) = default;
    };
    /// Append these whole frames to the open part.
    struct Append {
        Bytes data;
        friend bool operator==(const Append&, const Append&) = default;
    };
    /// Close the open part.
    struct Finish {
        bool interrupted = false;
        Date endedAt;
        friend bool operator==(const Finish&, const Finish&) = default;
    };
    /// Remember the user's pause choice across launches.
    struct PersistPaused {
        bool paused = false;
        friend bool operator==(const PersistPaused&, const PersistPaused&) = default;
    };
    /// The audio-process observers must be registered again.
    struct ReregisterObservers {
        friend bool operator==(const ReregisterObservers&, const ReregisterObservers&) = default;
    };

    using Payload = std::variant<Begin, Append, Finish, PersistPaused, ReregisterObservers>;

    /// The cases, in the order of `Payload`'s alternatives.
    enum class Kind : std::uint8_t { begin, append, finish, persistPaused, reregisterObservers };

    static CaptureAction begin(CaptureSegment segment) { return CaptureAction{Begin{std::move(segment)}}; }
    static CaptureAction append(Bytes data) { return CaptureAction{Append{std::move(data)}}; }
    static CaptureAction finish(bool interrupted, Date endedAt) {
        return CaptureAction{Finish{interrupted, endedAt}};
    }
    static CaptureAction persistPaused(bool paused) { return CaptureAction{PersistPaused{paused}}; }
    static CaptureAction reregisterObservers() { return CaptureAction{ReregisterObservers{}}; }

    Kind kind() const noexcept { return static_cast<Kind>(payload_.index()); }
    const Payload& payload() const noexcept { return payload_; }

    // Accessors of one kind; each throws std::bad_variant_access for another kind.
    const CaptureSegment& segment() const { return std::get<Begin>(payload_).segment; }
    const Bytes& data() const { return std::get<Append>(payload_).data; }
    /// Moves the appended bytes out, for an owner that consumes the list.
    Bytes takeData() { return std::move(std::get<Append>(payload_).data); }
    bool interrupted() const { return std::get<Finish>(payload_).interrupted; }
    Date endedAt() const { return std::get<Finish>(payload_).endedAt; }
    bool paused() const { return std::get<PersistPaused>(payload_).paused; }

    friend bool operator==(const CaptureAction&, const CaptureAction&) = default;

private:
    explicit CaptureAction(Payload payload) : payload_(std::move(payload)) {}

    Payload payload_;
};

/// The case name, e.g. "persistPaused".
const char* toText(CaptureAction::Kind kind) noexcept;

/// One line, e.g. `finish(interrupted: false, endedAt: 800000012.500)` or
/// `append(16000 bytes, 4000 frames)`; appended audio is summarised, not dumped.
std::ostream& operator<<(std::ostream& out, const CaptureAction& action);

} // namespace zoq
