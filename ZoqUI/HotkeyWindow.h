#pragma once

#include "ZoqShell/Messages/Translation.h"
#include "ZoqUI/ModelObserver.h"

#include <QString>
#include <QWidget>
#include <memory>

class QKeySequenceEdit;
class QLabel;
class QPushButton;

namespace zoq {

class ShellModel;

/// "zoq Hotkey": captures the global pause/resume combination by pressing it,
/// stores it in the settings' two hotkey keys and has the model register it
/// at once. A combination the settings cannot hold is refused with a message
/// and nothing is stored.
///
/// Each time the window is shown it loads the stored hotkey; modifier bits
/// the settings file may hold beyond Ctrl, Alt, Shift and Super are dropped
/// (and so are gone from the setting after the next apply). Main thread; the
/// model is borrowed.
class HotkeyWindow final : public QWidget {
public:
    static constexpr const char* title = I18N_NOOP("zoq Hotkey");
    static constexpr int minimumWidth = 340;
    static constexpr int minimumHeight = 240;
    static constexpr const char* notActive = I18N_NOOP(
        "Not active: another application holds this combination, or this desktop offers no global shortcuts");
    static constexpr const char* waiting = I18N_NOOP("Not active yet: waiting for the desktop");
    static constexpr const char* refused =
        I18N_NOOP("This combination cannot be the hotkey: use a letter, digit, symbol or function key "
                  "with Ctrl, Alt or Super");

    explicit HotkeyWindow(ShellModel& model, QWidget* parent = nullptr);
    /// The editor's signals are cut first: its children outlive this part of
    /// the window and still signal (losing focus) while QWidget deletes them.
    ~HotkeyWindow() override;

    QKeySequenceEdit& editor() noexcept { return *editor_; }
    /// What the editor shows ("Ctrl+Alt+Super+P").
    QString shownKeys() const;
    QPushButton& applyButton() noexcept { return *apply_; }
    QLabel& message() noexcept { return *message_; }
    /// Whether the model holds the stored hotkey now.
    QLabel& status() noexcept { return *status_; }

    /// Stores what the editor holds and installs it; false (with the message)
    /// when it cannot be stored.
    bool apply();
    /// Shows the stored hotkey.
    void load();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    /// Puts the editor's text into our words for keys.
    void relabel();

    ShellModel& model_;
    QKeySequenceEdit* editor_;
    QPushButton* apply_;
    QLabel* message_;
    QLabel* status_;
    std::unique_ptr<ModelObserver> observer_;
};

} // namespace zoq
