#pragma once

#include <functional>
#include <memory>

namespace zoq {

class ShellModel;

/// A view's subscription to the model's changes that ends with the view: the
/// model keeps its observers for its whole life, so the one added here turns
/// into a no-op once this object is destroyed. Main thread.
class ModelObserver {
public:
    ModelObserver(ShellModel& model, std::function<void()> changed);
    ~ModelObserver();
    ModelObserver(const ModelObserver&) = delete;
    ModelObserver& operator=(const ModelObserver&) = delete;

private:
    std::shared_ptr<std::function<void()>> changed_;
};

} // namespace zoq
