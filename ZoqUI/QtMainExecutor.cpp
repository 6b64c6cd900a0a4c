#include "ZoqUI/QtMainExecutor.h"

#include "ZoqShell/Recorder/Guarded.h"

#include <QThread>
#include <QTimer>

namespace zoq {

QtMainExecutor::QtMainExecutor() : context_(std::make_unique<QObject>()) {}

QtMainExecutor::~QtMainExecutor() = default;

void QtMainExecutor::post(std::function<void()> work) {
    // A queued call always goes through the event loop, also from the main
    // thread itself, so work never runs inside `post`.
    // Qt must never see an exception from an event handler.
    QMetaObject::invokeMethod(
        context_.get(), [work = std::move(work)] { guarded("a step of the event loop", work); },
        Qt::QueuedConnection);
}

void QtMainExecutor::postAfter(std::chrono::milliseconds delay, std::function<void()> work) {
    if (delay <= std::chrono::milliseconds::zero()) {
        post(std::move(work));
        return;
    }
    // A timer belongs to the thread that starts it: start it on the main thread.
    QObject* context = context_.get();
    post([context, delay, work = std::move(work)]() mutable {
        QTimer::singleShot(delay, Qt::PreciseTimer, context,
                           [work = std::move(work)] { guarded("a timed step of the event loop", work); });
    });
}

bool QtMainExecutor::isMainThread() const {
    return QThread::currentThread() == context_->thread();
}

} // namespace zoq
