#include "ZoqUI/TrayWindows.h"

namespace zoq {

TrayWindows::TrayWindows(ShellModel& model, LinkOpening& links,
                         std::function<std::vector<AllowlistApp>()> running,
                         PairingWindow::ReopenStore reopenStore)
    : model_(model), links_(links), running_(std::move(running)), reopenStore_(std::move(reopenStore)) {}

TrayWindows::~TrayWindows() = default;

QWidget& TrayWindows::open(TrayWindow window) {
    QWidget* widget = nullptr;
    switch (window) {
    case TrayWindow::allowlist:
        if (!allowlist_) {
            allowlist_ = std::make_unique<AllowlistWindow>(model_, running_);
        }
        widget = allowlist_.get();
        break;
    case TrayWindow::pairing:
        if (!pairing_) {
            pairing_ = std::make_unique<PairingWindow>(
                model_, links_, [this] { (void)open(TrayWindow::allowlist); }, reopenStore_);
        }
        widget = pairing_.get();
        break;
    case TrayWindow::hotkey:
        if (!hotkey_) {
            hotkey_ = std::make_unique<HotkeyWindow>(model_);
        }
        widget = hotkey_.get();
        break;
    case TrayWindow::recordings:
        if (!recordings_) {
            recordings_ = std::make_unique<RecordingsWindow>(model_, links_);
        }
        widget = recordings_.get();
        break;
    }
    widget->setObjectName(
        QString::fromUtf8(identifier(window).data(), static_cast<qsizetype>(identifier(window).size())));
    widget->show();
    widget->raise();
    widget->activateWindow();
    return *widget;
}

QWidget* TrayWindows::existing(TrayWindow window) const {
    switch (window) {
    case TrayWindow::allowlist:
        return allowlist_.get();
    case TrayWindow::pairing:
        return pairing_.get();
    case TrayWindow::hotkey:
        return hotkey_.get();
    case TrayWindow::recordings:
        return recordings_.get();
    }
    return nullptr;
}

} // namespace zoq
