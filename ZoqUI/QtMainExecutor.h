#pragma once

#include "ZoqShell/Recorder/MainExecutor.h"

#include <QObject>
#include <memory>

namespace zoq {

/// The shell's main thread as Qt's: work runs in the event loop of the thread
/// that created the executor (the GUI thread), so the model and the widgets
/// share one thread and never need a lock between them.
///
/// `post` and `postAfter` may be called from any thread. Work posted with the
/// same delay runs in posting order. Work still pending when the executor is
/// destroyed never runs, so posted work may hold references to objects that
/// the executor outlives.
class QtMainExecutor final : public MainExecutor {
public:
    QtMainExecutor();
    ~QtMainExecutor() override;
    QtMainExecutor(const QtMainExecutor&) = delete;
    QtMainExecutor& operator=(const QtMainExecutor&) = delete;

    void post(std::function<void()> work) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> work) override;
    bool isMainThread() const override;

private:
    // Lives on the main thread; queued calls and timers aimed at it die with it.
    std::unique_ptr<QObject> context_;
};

} // namespace zoq
