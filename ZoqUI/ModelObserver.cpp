#include "ZoqUI/ModelObserver.h"

#include "ZoqShell/Shell/ShellModel.h"

namespace zoq {

ModelObserver::ModelObserver(ShellModel& model, std::function<void()> changed)
    : changed_(std::make_shared<std::function<void()>>(std::move(changed))) {
    model.onChange([weak = std::weak_ptr(changed_)] {
        if (const auto callback = weak.lock()) {
            (*callback)();
        }
    });
}

ModelObserver::~ModelObserver() {
    changed_.reset();
}

} // namespace zoq
