#include "ZoqUI/AllowlistWindow.h"

#include "ZoqShell/Recorder/Guarded.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"

#include <QAction>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QTextDocument>
#include <QToolBar>
#include <QVBoxLayout>
#include <exception>
#include <iostream>

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
      worker_(std::make_unique<SerialWorker>()) {
    setWindowTitle(title);
    setMinimumSize(minimumWidth, minimumHeight);
    auto* layout = new QVBoxLayout(this);
    auto* toolbar = new QToolBar(this);
    auto* heading = new QLabel(listTitle, this);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    toolbar->addWidget(heading);
    auto* spacer = new QWidget(toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);
    refresh_ = toolbar->addAction("Refresh");
    layout->addWidget(toolbar);
    layout->addWidget(list_);
    auto* note = new QLabel(caption, this);
    QFont small = note->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    note->setFont(small);
    layout->addWidget(note);

    QObject::connect(refresh_, &QAction::triggered, this,
                     [this] { guarded("Refresh", [this] { reload(); }); });
    QObject::connect(list_, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        guarded("changing the allowlist", [this, item] { toggled(item); });
    });
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
    filling_ = true;
    list_->clear();
    for (const AllowlistApp& app : allowlistApps(lastRunning_, allowed)) {
        auto* item = new QListWidgetItem(iconFor(app.icon), QString::fromStdString(app.name), list_);
        const QString id = QString::fromStdString(app.bundleId);
        // QToolTip guesses rich text from the text itself; the identifier
        // comes from another program, so it is shown escaped, as written.
        item->setToolTip(Qt::convertFromPlainText(id, Qt::WhiteSpaceNoWrap));
        item->setData(Qt::UserRole, id);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
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
    model_.updateAllowlist(allowed);
}

void AllowlistWindow::showEvent(QShowEvent* event) {
    reload();
    QWidget::showEvent(event);
}

} // namespace zoq
