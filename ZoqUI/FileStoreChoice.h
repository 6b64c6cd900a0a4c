#pragma once

#include "ZoqShell/Messages/Translation.h"

#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;

namespace zoq {

class ShellSettings;

/// The way out of a desktop keyring that cannot be used: the button "Keep
/// the credentials in a private file instead" with one sentence on what that
/// means. Choosing it stores the choice in the settings ("credentialStore":
/// "file") and then calls `chosen`, which reopens what holds the credential
/// store; a setting that cannot be stored is said beneath the button, and
/// `chosen` is not called. While the administrator's policy sets the store,
/// nothing is offered.
///
/// Main thread; the settings are borrowed.
class FileStoreChoice final : public QWidget {
public:
    FileStoreChoice(ShellSettings& settings, std::function<void()> chosen, QWidget* parent = nullptr);

    QPushButton& button() noexcept { return *button_; }
    QLabel& meaning() noexcept { return *meaning_; }
    /// Why the choice could not be stored; hidden until then.
    QLabel& problem() noexcept { return *problem_; }
    /// Whether the policy leaves the choice to the person.
    bool offered() const;

private:
    void choose();

    ShellSettings& settings_;
    std::function<void()> chosen_;
    QPushButton* button_;
    QLabel* meaning_;
    QLabel* problem_;
};

/// What the tray shows when it cannot start because the keyring cannot be
/// used: the reason in words and the choice above, in a window titled
/// `title`. Main thread.
class KeyringProblemWindow final : public QWidget {
public:
    static constexpr const char* title = I18N_NOOP("zoq Credentials");

    KeyringProblemWindow(const std::string& reason, ShellSettings& settings, std::function<void()> chosen);

    QLabel& reason() noexcept { return *reason_; }
    FileStoreChoice& choice() noexcept { return *choice_; }

private:
    QLabel* reason_;
    FileStoreChoice* choice_;
};

} // namespace zoq
