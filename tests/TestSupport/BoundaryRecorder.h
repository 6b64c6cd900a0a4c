#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zoq::test {

/// What an armed `BoundaryRecorder` throws by default: a simulated crash at
/// the named step. Deliberately not a `CoreError`, so code under test cannot
/// mistake it for an ordinary failure it is meant to handle.
struct SimulatedCrash : std::runtime_error {
    explicit SimulatedCrash(const std::string& boundaryName)
        : std::runtime_error("simulated crash at " + boundaryName), boundary(boundaryName) {}
    std::string boundary;
};

/// Records every boundary name a `DurableIO` (or anything else taking a
/// boundary hook) passes, and can be armed to throw at one chosen call.
///
/// The usual crash sweep: run a lifecycle once with a disarmed recorder to
/// learn its boundary names, then for each index k run it again with
/// `failAtCall(k)` and check what recovery finds.
///
/// `hook()` returns a function sharing this recorder's state, so it may be
/// copied into objects that outlive the call that made them (and even the
/// recorder). Thread-safe: hooks may fire on any thread.
class BoundaryRecorder {
public:
    using Hook = std::function<void(const std::string&)>;

    BoundaryRecorder();

    /// A boundary hook that records into (and may throw from) this recorder.
    Hook hook() const;

    /// Throw at the call with this zero-based index (counting every call the
    /// recorder has seen since construction or `clear()`).
    void failAtCall(std::size_t index, std::exception_ptr error = nullptr);
    /// Throw at the `occurrence`-th (1-based) call with exactly this name,
    /// counting from the moment of arming.
    void failAtName(std::string name, std::size_t occurrence = 1, std::exception_ptr error = nullptr);
    /// With `true`, once it has thrown, every later call throws too (a process
    /// that crashed runs no further step). Default `false`: throw once, then
    /// only record, so the recovery that follows runs undisturbed.
    void setRepeats(bool repeats);
    /// No more throwing; recording goes on.
    void disarm();
    /// Forget every recorded name (and the call count) and disarm.
    void clear();

    /// Every name seen, in order, including the one that threw.
    std::vector<std::string> names() const;
    std::size_t count() const;
    /// The name the recorder threw at most recently, if it has thrown.
    std::optional<std::string> thrownAt() const;
    /// How many recorded names start with `prefix` ("after:partial-write:").
    std::size_t countWithPrefix(const std::string& prefix) const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace zoq::test
