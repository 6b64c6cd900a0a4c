#include "ZoqUI/FileStoreChoice.h"

#include "ZoqShell/Messages/PlainWords.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqUI/Accessible.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <exception>

namespace zoq {

FileStoreChoice::FileStoreChoice(ShellSettings& settings, std::function<void()> chosen, QWidget* parent)
    : QWidget(parent), settings_(settings), chosen_(std::move(chosen)),
      button_(new QPushButton(i18n(plain::fileStoreButton), this)),
      meaning_(new QLabel(i18n(plain::fileStoreMeaning), this)), problem_(new QLabel(this)) {
    setObjectName("fileStoreChoice");
    button_->setObjectName("fileStoreButton");
    meaning_->setObjectName("fileStoreMeaning");
    problem_->setObjectName("fileStoreProblem");
    describe(*button_, i18n(plain::fileStoreButton), i18n(plain::fileStoreMeaning));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(button_);
    meaning_->setWordWrap(true);
    layout->addWidget(meaning_);
    problem_->setWordWrap(true);
    problem_->setTextFormat(Qt::PlainText);
    problem_->hide();
    layout->addWidget(problem_);
    QObject::connect(button_, &QPushButton::clicked, this, [this] { choose(); });
}

bool FileStoreChoice::offered() const {
    return !settings_.isLocked(ShellSettings::credentialStoreKey);
}

void FileStoreChoice::choose() {
    if (!offered()) {
        return;
    }
    try {
        settings_.keepCredentialsInFile();
    } catch (const std::exception& error) {
        problem_->setText(QString::fromStdString(
            substitute(i18n("The choice could not be stored in {1}: {2}"), {settings_.file().string(), error.what()})));
        problem_->show();
        return;
    }
    problem_->hide();
    if (chosen_) {
        chosen_();
    }
}

KeyringProblemWindow::KeyringProblemWindow(const std::string& reason, ShellSettings& settings,
                                           std::function<void()> chosen)
    : reason_(new QLabel(QString::fromStdString(reason), this)),
      choice_(new FileStoreChoice(settings, std::move(chosen), this)) {
    setWindowTitle(i18n(title));
    setMinimumWidth(420);
    auto* layout = new QVBoxLayout(this);
    reason_->setObjectName("keyringProblem");
    describe(*reason_, i18n("Why the credentials cannot be kept"), i18n("What the desktop keyring answered"));
    reason_->setWordWrap(true);
    reason_->setTextFormat(Qt::PlainText);
    reason_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(reason_);
    layout->addWidget(choice_);
    choice_->setVisible(choice_->offered());
    // The one thing to do here: Return or Space chooses it.
    choice_->button().setDefault(true);
    choice_->button().setFocus();
}

} // namespace zoq
