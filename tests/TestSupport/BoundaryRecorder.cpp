#include "tests/TestSupport/BoundaryRecorder.h"

#include <utility>

namespace zoq::test {

struct BoundaryRecorder::State {
    mutable std::mutex mutex;
    std::vector<std::string> names;
    std::optional<std::size_t> failIndex;
    std::optional<std::string> failName;
    std::size_t failOccurrence = 0;
    std::size_t nameMatches = 0;
    std::exception_ptr error;
    bool repeats = false;
    bool tripped = false;
    std::optional<std::string> thrownAt;

    void record(const std::string& name) {
        std::exception_ptr toThrow;
        {
            const std::lock_guard lock(mutex);
            const std::size_t index = names.size();
            names.push_back(name);
            const bool byIndex = failIndex && *failIndex == index;
            const bool byName = failName && *failName == name && ++nameMatches == failOccurrence;
            const bool trigger = byIndex || byName || (repeats && tripped);
            if (trigger) {
                tripped = true;
                thrownAt = name;
                toThrow = error ? error : std::make_exception_ptr(SimulatedCrash(name));
                if (!repeats) {
                    failIndex.reset();
                    failName.reset();
                }
            }
        }
        if (toThrow) {
            std::rethrow_exception(toThrow);
        }
    }
};

BoundaryRecorder::BoundaryRecorder() : state_(std::make_shared<State>()) {}

BoundaryRecorder::Hook BoundaryRecorder::hook() const {
    return [state = state_](const std::string& name) { state->record(name); };
}

void BoundaryRecorder::failAtCall(std::size_t index, std::exception_ptr error) {
    const std::lock_guard lock(state_->mutex);
    state_->failName.reset();
    state_->failIndex = index;
    state_->error = std::move(error);
}

void BoundaryRecorder::failAtName(std::string name, std::size_t occurrence, std::exception_ptr error) {
    const std::lock_guard lock(state_->mutex);
    state_->failIndex.reset();
    state_->failName = std::move(name);
    state_->failOccurrence = occurrence;
    state_->nameMatches = 0;
    state_->error = std::move(error);
}

void BoundaryRecorder::setRepeats(bool repeats) {
    const std::lock_guard lock(state_->mutex);
    state_->repeats = repeats;
}

void BoundaryRecorder::disarm() {
    const std::lock_guard lock(state_->mutex);
    state_->failIndex.reset();
    state_->failName.reset();
    state_->tripped = false;
}

void BoundaryRecorder::clear() {
    const std::lock_guard lock(state_->mutex);
    state_->names.clear();
    state_->failIndex.reset();
    state_->failName.reset();
    state_->tripped = false;
    state_->thrownAt.reset();
}

std::vector<std::string> BoundaryRecorder::names() const {
    const std::lock_guard lock(state_->mutex);
    return state_->names;
}

std::size_t BoundaryRecorder::count() const {
    const std::lock_guard lock(state_->mutex);
    return state_->names.size();
}

std::optional<std::string> BoundaryRecorder::thrownAt() const {
    const std::lock_guard lock(state_->mutex);
    return state_->thrownAt;
}

std::size_t BoundaryRecorder::countWithPrefix(const std::string& prefix) const {
    const std::lock_guard lock(state_->mutex);
    std::size_t matches = 0;
    for (const std::string& name : state_->names) {
        if (name.starts_with(prefix)) {
            ++matches;
        }
    }
    return matches;
}

} // namespace zoq::test
