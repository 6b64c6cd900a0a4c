#pragma once

#include "ZoqShell/Messages/Translation.h"
#include "ZoqUI/ModelObserver.h"

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace zoq {

class FileStoreChoice;

class ShellModel;
class LinkOpening;

/// "zoq Pairing": the portal address and the pairing code. The code is the
/// model's (it outlives the window); the address is a draft taken from the
/// settings the first time the window is shown and kept across later
/// showings, so what the person typed survives closing the window. An
/// address the model refuses is reported by its pairing message and stays in
/// the field for correction. "Pair device" (or Return in the code field)
/// pairs with the draft address, which is stored only once that pairing
/// succeeded.
///
/// Main thread. The model and the link opener are borrowed.
class PairingWindow final : public QWidget {
public:
    static constexpr const char* title = I18N_NOOP("zoq Pairing");
    static constexpr int minimumWidth = 380;
    static constexpr int minimumHeight = 220;
    static constexpr const char* portalLinkTitle =
        I18N_NOOP("Create a pairing code in the zoq portal (Devices → Pair a device)");

    static constexpr const char* nextStep = I18N_NOOP("Now choose the apps to record");
    static constexpr const char* chooseAppsTitle = I18N_NOOP("Choose apps…");

    /// `openAllowlist` opens the allowlist window ("Choose apps…", shown
    /// once the device is paired); none hides that button. `reopenStore`
    /// runs once the person chose the private credential file after a
    /// pairing the keyring refused (the choice is stored by then), with the
    /// address and code of that pairing: it reopens the credentials from the
    /// file and pairs again; none offers no such choice.
    using ReopenStore = std::function<void(const std::string& portal, const std::string& code)>;
    PairingWindow(ShellModel& model, LinkOpening& links, std::function<void()> openAllowlist = {},
                  ReopenStore reopenStore = {}, QWidget* parent = nullptr);

    QLineEdit& portalField() noexcept { return *portal_; }
    QPushButton& applyButton() noexcept { return *apply_; }
    QLineEdit& codeField() noexcept { return *code_; }
    QPushButton& pairButton() noexcept { return *pair_; }
    QLabel& message() noexcept { return *message_; }
    QLabel& portalLink() noexcept { return *link_; }
    QLabel& nextStepLine() noexcept { return *next_; }
    QPushButton& chooseAppsButton() noexcept { return *chooseApps_; }
    /// "Set by your administrator", shown (and the address fixed) while the
    /// administrator's policy sets the portal address.
    QLabel& lockedLine() noexcept { return *locked_; }
    /// The private credential file instead of the keyring, shown while the
    /// last pairing failed on the keyring.
    FileStoreChoice& fileStoreChoice() noexcept { return *fileStore_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    void applyDraft();
    void pairDevice();

    ShellModel& model_;
    LinkOpening& links_;
    QLineEdit* portal_;
    QPushButton* apply_;
    QLineEdit* code_;
    QPushButton* pair_;
    QLabel* message_;
    QLabel* link_;
    QLabel* next_;
    QPushButton* chooseApps_;
    QLabel* locked_ = nullptr;
    FileStoreChoice* fileStore_ = nullptr;
    bool offersFileStore_ = false;
    std::function<void()> openAllowlist_;
    bool initializedDraft_ = false;
    std::unique_ptr<ModelObserver> observer_;
};

} // namespace zoq
