#include "ZoqUI/AllowlistWindow.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Recorder/Guarded.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqUI/Accessible.h"

#include <QAction>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTextDocument>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <iostream>
#include <utility>

namespace zoq {
namespace {

QIcon iconFor(const std::string& icon) {
    const QString name = QString::fromStdString(icon);
    if (name.isEmpty()) {
        return {};
    }
    return name.startsWith('/') ? QIcon(name) : QIcon::fromTheme(name);
}

} // namespace

AllowlistWindow::AllowlistWindow(ShellModel& model, std::function<std::vector<AllowlistApp>()> running,
                                 QWidget* parent)
    : QWidget(parent), model_(model), running_(std::move(running)), list_(new QListWidget(this)),
      add_(new QLineEdit(this)), message_(new QLabel(this)),
      locked_(new QLabel(i18n(ShellModel::setByAdministrator), this)),
      worker_(std::make_unique<SerialWorker>()) {
    setWindowTitle(i18n(title));
    setMinimumSize(minimumWidth, minimumHeight);
    auto* layout = new QVBoxLayout(this);
    auto* toolbar = new QToolBar(this);
    auto* heading = new QLabel(i18n(listTitle), this);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    toolbar->addWidget(heading);
    auto* spacer = new QWidget(toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);
    refresh_ = toolbar->addAction(i18n("Refresh"));
    layout->addWidget(toolbar);
    locked_->setObjectName("allowlistLocked");
    locked_->hide();
    layout->addWidget(locked_);
    layout->addWidget(list_);
    add_->setPlaceholderText(i18n(addPlaceholder));
    describe(*add_, i18n(addPlaceholder),
             i18n("Type an application's identifier and press Return to allow it"));
    describe(*list_, i18n(listTitle), i18n(caption));
    add_->setClearButtonEnabled(true);
    // Qt's own buttons in the field and the toolbar are controls too.
    for (auto* clear : add_->findChildren<QToolButton*>()) {
        describe(*clear, i18n("Clear"), i18n("Empties the identifier field"));
    }
    if (auto* more = toolbar->findChild<QToolButton*>("qt_toolbar_ext_button")) {
        describe(*more, i18n("More"), i18n("Shows the toolbar's items that do not fit"));
    }
    if (QWidget* button = toolbar->widgetForAction(refresh_)) {
        describe(*button, i18n("Refresh"), i18n("Lists the running applications again"));
    }
    layout->addWidget(add_);
    message_->setWordWrap(true);
    // The text may quote what was typed: never read as markup.
    message_->setTextFormat(Qt::PlainText);
    message_->hide();
    layout->addWidget(message_);
    auto* note = new QLabel(i18n(caption), this);
    QFont small = note->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    note->setFont(small);
    layout->addWidget(note);

    QObject::connect(refresh_, &QAction::triggered, this,
                     [this] { guarded("Refresh", [this] { reload(); }); });
    QObject::connect(list_, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        guarded("changing the allowlist", [this, item] { toggled(item); });
    });
    QObject::connect(list_, &QListWidget::itemPressed, this,
                     [this](QListWidgetItem* item) { pressedState_ = item->checkState(); });
    // The box toggles on release, before the click is reported: a click whose
    // state is still the pressed one landed on the name.
    QObject::connect(list_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        const std::optional<Qt::CheckState> pressed = std::exchange(pressedState_, std::nullopt);
        if (pressed && item->checkState() == *pressed && (item->flags() & Qt::ItemIsUserCheckable) != 0 &&
            (item->flags() & Qt::ItemIsEnabled) != 0) {
            item->setCheckState(*pressed == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        }
    });
    QObject::connect(add_, &QLineEdit::returnPressed, this,
                     [this] { guarded("adding to the allowlist", [this] { addTyped(); }); });
}

AllowlistWindow::~AllowlistWindow() = default;

void AllowlistWindow::reload() {
    fill();
    ++pending_;
    // The result is handed to the main thread; the worker is joined before
    // the window goes, and Qt drops what was posted to it by then.
    worker_->submit([this] {
        std::vector<AllowlistApp> running;
        try {
            running = running_();
        } catch (const std::exception& error) {
            // The allowed applications are still worth listing.
            // untranslated: a log line
            std::cerr << "zoq: cannot list the running applications: " << error.what() << '\n';
        }
        QMetaObject::invokeMethod(
            this,
            [this, running = std::move(running)]() mutable {
                lastRunning_ = std::move(running);
                --pending_;
                guarded("listing the applications", [this] { fill(); });
            },
            Qt::QueuedConnection);
    });
}

void AllowlistWindow::fill() {
    const std::set<std::string> allowed = model_.settings().allowedBundleIDs();
    const bool locked = model_.settings().isLocked(ShellSettings::allowedBundleIDsKey);
    locked_->setVisible(locked);
    add_->setEnabled(!locked);
    filling_ = true;
    list_->clear();
    for (const AllowlistApp& app : allowlistApps(lastRunning_, allowed)) {
        auto* item = new QListWidgetItem(iconFor(app.icon), QString::fromStdString(app.name), list_);
        const QString id = QString::fromStdString(app.bundleId);
        // QToolTip guesses rich text from the text itself; the identifier
        // comes from another program, so it is shown escaped, as written.
        item->setToolTip(Qt::convertFromPlainText(id, Qt::WhiteSpaceNoWrap));
        item->setData(Qt::UserRole, id);
        item->setData(Qt::AccessibleDescriptionRole,
                      QString::fromStdString(substitute(i18n("When on, calls of {1} are recorded ({2})"),
                                                        {app.name, app.bundleId})));
        // Shown as the administrator set it, not switchable.
        item->setFlags(locked ? Qt::ItemIsUserCheckable : Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(allowed.count(app.bundleId) != 0 ? Qt::Checked : Qt::Unchecked);
    }
    filling_ = false;
}

void AllowlistWindow::toggled(QListWidgetItem* item) {
    if (filling_) {
        return;
    }
    const std::string id = item->data(Qt::UserRole).toString().toStdString();
    // The set as stored now, not as the list was loaded: another zoq process
    // may have changed it meanwhile.
    std::set<std::string> allowed = model_.settings().allowedBundleIDs();
    if (item->checkState() == Qt::Checked) {
        allowed.insert(id);
    } else {
        allowed.erase(id);
    }
    if (!model_.updateAllowlist(allowed)) {
        // Locked meanwhile: show what holds. Not from inside the item's own
        // signal, which filling would delete.
        QMetaObject::invokeMethod(
            this, [this] { guarded("listing the applications", [this] { fill(); }); }, Qt::QueuedConnection);
    }
}

void AllowlistWindow::addTyped() {
    const std::string typed = add_->text().trimmed().toStdString();
    if (typed.empty()) {
        return;
    }
    const bool plain = std::none_of(typed.begin(), typed.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7f;
    });
    if (!plain) {
        // Kept in the field for correction.
        message_->setText(i18n(badIdentifier));
        message_->show();
        return;
    }
    message_->hide();
    std::set<std::string> allowed = model_.settings().allowedBundleIDs();
    if (allowed.insert(typed).second) {
        model_.updateAllowlist(allowed);
    }
    add_->clear();
    // Read again: the entry of what was added names it.
    reload();
}

void AllowlistWindow::showEvent(QShowEvent* event) {
    reload();
    QWidget::showEvent(event);
}

} // namespace zoq
