#include "ZoqCore/Capture/RecorderCore.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONValue.h"

#include <string>
#include <utility>

namespace zoq {
namespace {

constexpr const char* pausedKey = "paused";

/// The pause choice kept in the root. Called only once the root's lock is held,
/// so no other recorder is rewriting the file meanwhile.
bool readPaused(const std::filesystem::path& root, const DurableIO& io) {
    const std::filesystem::path file = root / RecorderCore::preferencesFileName;
    if (!io.exists(file)) {
        return false;
    }
    const JSONValue value = JSONValue::parse(io.read(file, 0, RecorderCore::preferencesReadLimit));
    const JSONValue::Object* object = value.object();
    if (object == nullptr || object->size() != 1 || !object->contains(pausedKey)) {
        throw CoreError::invalid("closed object");
    }
    const std::optional<bool> paused = object->at(pausedKey).boolean();
    if (!paused) {
        throw CoreError::invalid("boolean");
    }
    return *paused;
}

const std::shared_ptr<DurableIO>& required(const std::shared_ptr<DurableIO>& io) {
    if (!io) {
        throw CoreError::invalid("durable io");
    }
    return io;
}

} // namespace

RecorderCore::RecorderCore(std::filesystem::path root, const CoreClock& clock, CaptureAllowlist allowlist,
                           std::string deviceId, const FLACEncoder& encoder, std::shared_ptr<DurableIO> io)
    : root_(std::move(root)), rootLock_(root_), clock_(clock), io_(required(io)), encoder_(encoder),
      deviceId_(std::move(deviceId)), machine_(clock_, std::move(allowlist), readPaused(root_, *io_)) {}

std::filesystem::path RecorderCore::partDirectory(const std::filesystem::path& root,
                                                  const CaptureSegment& segment) {
    return root / (segment.captureSessionId + "-" + std::to_string(segment.partIndex));
}

template <typename Call>
void RecorderCore::drive(Call&& call) {
    try {
        std::vector<CaptureAction> actions = call();
        apply(actions);
    } catch (...) {
        machine_.failed();
        throw;
    }
}

void RecorderCore::apply(std::vector<CaptureAction>& actions) {
    for (CaptureAction& action : actions) {
        switch (action.kind()) {
        case CaptureAction::Kind::begin:
            if (active_) {
                throw CoreError::invalidState();
            }
            active_ = Artifact::create(partDirectory(root_, action.segment()), action.segment(), deviceId_,
                                       clock_, io_);
            break;
        case CaptureAction::Kind::append:
            if (!active_) {
                throw CoreError::invalidState();
            }
            active_->append(action.data());
            break;
        case CaptureAction::Kind::finish:
            if (!active_) {
                throw CoreError::invalidState();
            }
            if (!active_->seal(action.endedAt(), action.interrupted())) {
                completed_.push_back(active_->directory());
            } else if (publisher_) {
                publisher_(std::shared_ptr<Artifact>(std::move(active_)));
            } else {
                active_->publish(encoder_);
                completed_.push_back(active_->directory());
            }
            // Releases the part's lock (once published): the directory then
            // belongs to the uploader.
            active_.reset();
            machine_.finalised();
            break;
        case CaptureAction::Kind::persistPaused:
            persistPaused(action.paused());
            break;
        case CaptureAction::Kind::reregisterObservers:
            break;
        }
    }
}

void RecorderCore::persistPaused(bool paused) {
    const JSONValue value(JSONValue::Object{{pausedKey, JSONValue(paused)}});
    io_->atomic(value.canonicalBytes(), root_ / preferencesFileName);
}

void RecorderCore::processes(std::span<const ProcessActivity> activities) {
    drive([&] { return machine_.processes(activities); });
}

void RecorderCore::samples(ByteView data, std::int64_t firstFrame) {
    drive([&] { return machine_.samples(data, firstFrame); });
}

void RecorderCore::tick() {
    drive([&] {
        std::vector<CaptureAction> actions = machine_.tick();
        apply(actions);
        // After the machine's own actions, so a part finished by this tick is
        // not flushed again and a part begun by it starts its flush interval.
        if (active_) {
            active_->tick();
        }
        return std::vector<CaptureAction>{};
    });
}

void RecorderCore::pause() {
    drive([&] { return machine_.pause(); });
}

void RecorderCore::resume() {
    drive([&] { return machine_.resume(); });
}

void RecorderCore::sleep() {
    drive([&] { return machine_.interrupt(); });
}

void RecorderCore::interrupt() {
    sleep();
}

void RecorderCore::cut() {
    drive([&] { return machine_.cut(); });
}

std::vector<CaptureAction> RecorderCore::wake() {
    return machine_.wake();
}

} // namespace zoq
