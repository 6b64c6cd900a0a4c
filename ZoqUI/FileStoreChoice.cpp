#include "ZoqUI/FileStoreChoice.h"

#include "ZoqShell/Messages/PlainWords.h"
#include "ZoqShell/Settings/ShellSettings.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <exception>

namespace zoq {

FileStoreChoice::FileStoreChoice(ShellSettings& settings, std::function<void()> chosen, QWidget* parent)
    : QWidget(parent), settings_(settings), chosen_(std::move(chosen)),
      button_(new QPushButton(plain::fileStoreButton, this)),
      meaning_(new QLabel(plain::fileStoreMeaning, this)), problem_(new QLabel(this)) {
    setObjectName("fileStoreChoice");
    button_->setObjectName("fileStoreButton");
    meaning_->setObjectName("fileStoreMeaning");
    problem_->setObjectName("fileStoreProblem");
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
        problem_->setText(QString("The choice could not be stored in %1: %2")
                              .arg(QString::fromStdString(settings_.file().string()), QString(error.what())));
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
    setWindowTitle(title);
    setMinimumWidth(420);
    auto* layout = new QVBoxLayout(this);
    reason_->setObjectName("keyringProblem");
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
