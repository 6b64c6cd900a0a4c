#include "ZoqUI/PairingWindow.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqShell/System/LinkOpening.h"
#include "ZoqShell/Transport/PortalOrigin.h"
#include "ZoqUI/Accessible.h"
#include "ZoqUI/FileStoreChoice.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace zoq {

PairingWindow::PairingWindow(ShellModel& model, LinkOpening& links, std::function<void()> openAllowlist,
                             ReopenStore reopenStore, QWidget* parent)
    : QWidget(parent), model_(model), links_(links), portal_(new QLineEdit(this)),
      apply_(new QPushButton(i18n("Apply portal URL"), this)), code_(new QLineEdit(this)),
      pair_(new QPushButton(i18n("Pair device"), this)), message_(new QLabel(this)), link_(new QLabel(this)),
      next_(new QLabel(i18n(nextStep), this)), chooseApps_(new QPushButton(i18n(chooseAppsTitle), this)),
      openAllowlist_(std::move(openAllowlist)) {
    setWindowTitle(i18n(title));
    setMinimumSize(minimumWidth, minimumHeight);
    auto* form = new QFormLayout(this);
    portal_->setPlaceholderText(ShellSettings::defaultAPIBaseURL);
    form->addRow(i18n("zoq API URL"), portal_);
    // Screen readers name each control and say what it does: the form's
    // labels are its buddies' names, the rest is said here.
    describe(*portal_, i18n("zoq API URL"),
             i18n("The address of your zoq portal; it is kept once a pairing with it succeeded"));
    describe(*apply_, i18n("Apply portal URL"), i18n("Checks the address and keeps it for the next pairing"));
    describe(*code_, i18n("Pairing code"),
             i18n("The code the portal shows under Devices → Pair a device; Return pairs"));
    describe(*pair_, i18n("Pair device"), i18n("Pairs this device with the portal at the address above"));
    describe(*chooseApps_, i18n(chooseAppsTitle),
             i18n("Opens the allowlist, to choose the apps zoq records"));
    describe(*link_, i18n(portalLinkTitle), i18n("Opens the portal in the web browser"));
    locked_ = new QLabel(i18n(ShellModel::setByAdministrator), this);
    locked_->setObjectName("portalLocked");
    form->addRow(locked_);
    form->addRow(apply_);
    form->addRow(i18n("Pairing code"), code_);
    form->addRow(pair_);
    message_->setWordWrap(true);
    // The message quotes the portal's replies: never read as markup.
    message_->setTextFormat(Qt::PlainText);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(message_);
    offersFileStore_ = reopenStore != nullptr;
    fileStore_ = new FileStoreChoice(
        model_.settings(),
        [this, reopen = std::move(reopenStore)] {
            if (reopen) {
                reopen(portal_->text().toStdString(), model_.pairingCode());
            }
        },
        this);
    form->addRow(fileStore_);
    // What comes after pairing: nothing is recorded until an application is
    // allowed.
    next_->setObjectName("nextStep");
    chooseApps_->setObjectName("chooseApps");
    form->addRow(next_);
    form->addRow(chooseApps_);
    QObject::connect(chooseApps_, &QPushButton::clicked, this, [this] {
        if (openAllowlist_) {
            openAllowlist_();
        }
    });
    QFont small = link_->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    link_->setFont(small);
    link_->setTextFormat(Qt::RichText);
    form->addRow(link_);

    QObject::connect(portal_, &QLineEdit::returnPressed, this, [this] { applyDraft(); });
    QObject::connect(apply_, &QPushButton::clicked, this, [this] { applyDraft(); });
    QObject::connect(code_, &QLineEdit::textEdited, this,
                     [this](const QString& text) { model_.setPairingCode(text.toStdString()); });
    QObject::connect(pair_, &QPushButton::clicked, this, [this] { pairDevice(); });
    QObject::connect(code_, &QLineEdit::returnPressed, this, [this] { pairDevice(); });
    QObject::connect(link_, &QLabel::linkActivated, this,
                     [this](const QString& url) { (void)links_.open(DesktopLink::url(url.toStdString())); });
    observer_ = std::make_unique<ModelObserver>(model_, [this] { refresh(); });
    refresh();
}

void PairingWindow::showEvent(QShowEvent* event) {
    if (!initializedDraft_) {
        portal_->setText(
            QString::fromStdString(PortalOrigin::withoutUserInfo(model_.settings().apiBaseURLString())));
        initializedDraft_ = true;
    }
    refresh();
    QWidget::showEvent(event);
}

void PairingWindow::refresh() {
    const QString code = QString::fromStdString(model_.pairingCode());
    if (code_->text() != code) {
        code_->setText(code);
    }
    pair_->setEnabled(!model_.pairingCode().empty());
    const std::optional<std::string>& message = model_.pairingMessage();
    // The model's own messages are English constants: shown translated.
    message_->setText(message ? QString::fromUtf8(i18n(message->c_str())) : QString());
    message_->setVisible(message.has_value());
    // untranslated: the model's fixed text, not shown from here
    const bool paired = message && message->rfind("Paired device ", 0) == 0;
    next_->setVisible(paired);
    chooseApps_->setVisible(paired && openAllowlist_ != nullptr);
    fileStore_->setVisible(offersFileStore_ && model_.keyringUnusable() && fileStore_->offered());
    const std::string portal = model_.settings().apiBaseURL().value_or(ShellSettings::defaultAPIBaseURL);
    // The administrator's address is the only one: shown, not editable.
    const bool locked = model_.settings().isLocked(ShellSettings::apiBaseURLKey);
    if (locked) {
        const QString fixed = QString::fromStdString(PortalOrigin::withoutUserInfo(portal));
        if (portal_->text() != fixed) {
            portal_->setText(fixed);
        }
    }
    portal_->setReadOnly(locked);
    portal_->setEnabled(!locked);
    apply_->setEnabled(!locked);
    locked_->setVisible(locked);
    // untranslated: markup around the translated title
    link_->setText(QString("<a href=\"%1\">%2</a>")
                       .arg(QString::fromStdString(portal).toHtmlEscaped(), QString(i18n(portalLinkTitle))));
}

void PairingWindow::applyDraft() {
    (void)model_.applyPortalURL(portal_->text().toStdString());
}

void PairingWindow::pairDevice() {
    if (model_.pairingCode().empty()) {
        return;
    }
    // The draft becomes the address only if this pairing succeeds: a
    // mistyped address never receives the device's credentials, and a failed
    // pairing leaves the address in force as it was.
    model_.pairWithPortal(portal_->text().toStdString(), model_.pairingCode());
}

} // namespace zoq
