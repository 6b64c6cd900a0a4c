#pragma once

#include "ZoqUI/AllowlistApps.h"

#include <QWidget>
#include <functional>
#include <vector>

class QListWidget;
class QListWidgetItem;
class QAction;

namespace zoq {

class ShellModel;

/// "zoq Allowlist": one switch per application that may trigger recording,
/// on when the settings allow its identifier. Switching one stores the
/// changed set through the model (which restarts a running recorder). The
/// list is read again each time the window is shown and on "Refresh".
///
/// Main thread. The model is borrowed; `running` lists the running
/// applications (see `runningApplications`) and is called on every reload.
class AllowlistWindow final : public QWidget {
public:
    static constexpr const char* title = "zoq Allowlist";
    static constexpr int minimumWidth = 360;
    static constexpr int minimumHeight = 420;
    static constexpr const char* listTitle = "Apps allowed to trigger recording";
    static constexpr const char* caption = "Default deny: apps not toggled here are never recorded.";

    AllowlistWindow(ShellModel& model, std::function<std::vector<AllowlistApp>()> running,
                    QWidget* parent = nullptr);

    QListWidget& list() noexcept { return *list_; }
    QAction& refreshAction() noexcept { return *refresh_; }

    /// Lists the running and the allowed applications again.
    void reload();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void toggled(QListWidgetItem* item);

    ShellModel& model_;
    std::function<std::vector<AllowlistApp>()> running_;
    QListWidget* list_;
    QAction* refresh_;
    bool reloading_ = false;
};

} // namespace zoq
