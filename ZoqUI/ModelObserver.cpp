#include "ZoqUI/ModelObserver.h"

#include "ZoqShell/Recorder/Guarded.h"
#include "ZoqShell/Shell/ShellModel.h"

namespace zoq {

ModelObserver::ModelObserver(ShellModel& model, std::function<void()> changed)
    : changed_(std::make_shared<std::function<void()>>(std::move(changed))) {
    model.onChange([weak = std::weak_ptr(changed_)] {
        if (const auto callback = weak.lock()) {
            // A view that cannot redraw must not take the model's other
            // observers, or Qt, down with it.
            guarded("updating a view", *callback);
        }
    });
}

ModelObserver::~ModelObserver() {
    changed_.reset();
}

} // namespace zoq
