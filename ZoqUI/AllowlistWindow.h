#pragma once

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Uploader/SerialWorker.h"
#include "ZoqUI/AllowlistApps.h"

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QListWidget;
class QListWidgetItem;
class QAction;
class QLabel;
class QLineEdit;

namespace zoq {

class ShellModel;

/// "zoq Allowlist": one switch per application that may trigger recording,
/// on when the settings allow its identifier: the running applications
/// first, then installed call software and whatever else is allowed (see
/// `allowlistApps`). Switching one (its box or its name) stores the changed
/// set through the model (which restarts a running recorder); "Add by
/// identifier…" allows an application that is not listed. The list is read
/// again each time the window is shown and on "Refresh".
///
/// Reading the running applications takes about a millisecond a process,
/// so it runs on a worker thread: a reload lists at once what the last one
/// found (and every allowed identifier), and the fresh list when it is in.
///
/// Main thread. The model is borrowed; `running` lists the applications to
/// offer (see `runningApplications` and `installedApplications`), is called
/// on the worker for every reload and must be safe to call there.
class AllowlistWindow final : public QWidget {
public:
    static constexpr const char* title = I18N_NOOP("zoq Allowlist");
    static constexpr int minimumWidth = 360;
    static constexpr int minimumHeight = 420;
    static constexpr const char* listTitle = I18N_NOOP("Apps allowed to trigger recording");
    static constexpr const char* caption =
        I18N_NOOP("Default deny: apps not toggled here are never recorded.");
    static constexpr const char* addPlaceholder = I18N_NOOP("Add by identifier…");
    static constexpr const char* badIdentifier = I18N_NOOP(
        "An identifier is one word without spaces or control characters (for example org.example.Call)");

    AllowlistWindow(ShellModel& model, std::function<std::vector<AllowlistApp>()> running,
                    QWidget* parent = nullptr);
    ~AllowlistWindow() override;

    QListWidget& list() noexcept { return *list_; }
    QAction& refreshAction() noexcept { return *refresh_; }
    /// "Add by identifier…": Return allows what it holds.
    QLineEdit& addField() noexcept { return *add_; }
    /// Why the last identifier was refused; hidden when none was.
    QLabel& message() noexcept { return *message_; }
    /// "Set by your administrator", shown (and every switch disabled) while
    /// the administrator's policy sets the allowlist.
    QLabel& lockedLine() noexcept { return *locked_; }

    /// Lists the running and the allowed applications again.
    void reload();
    /// A reload is still reading the running applications.
    bool reloading() const noexcept { return pending_ != 0; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void fill();
    void toggled(QListWidgetItem* item);
    void addTyped();

    ShellModel& model_;
    std::function<std::vector<AllowlistApp>()> running_;
    QListWidget* list_;
    QAction* refresh_;
    QLineEdit* add_;
    QLabel* message_;
    QLabel* locked_;
    // The check state when the press on a row came, so a click on the name
    // toggles it while a click on the box (which toggles it itself) does not
    // toggle it back.
    std::optional<Qt::CheckState> pressedState_;
    std::vector<AllowlistApp> lastRunning_;
    int pending_ = 0;
    bool filling_ = false;
    // Declared last: destroyed (joined) first, while what its job uses lives.
    std::unique_ptr<SerialWorker> worker_;
};

} // namespace zoq
