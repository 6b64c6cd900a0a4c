#include "ZoqUI/RecordingsWindow.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Recorder/Guarded.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqShell/System/LinkOpening.h"
#include "ZoqUI/Accessible.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace zoq {
namespace {

QTableWidgetItem* cell(const std::string& text) {
    // Plain items: the texts come from other programs (application names,
    // the portal's reasons) and are shown as written.
    auto* item = new QTableWidgetItem(QString::fromStdString(text));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

QPushButton* button(QWidget* parent, const char* title, const char* meaning, const QString& name) {
    auto* push = new QPushButton(QString::fromUtf8(i18n(title)), parent);
    push->setObjectName(name);
    describe(*push, i18n(title), i18n(meaning));
    return push;
}

} // namespace

RecordingsWindow::RecordingsWindow(ShellModel& model, LinkOpening& links, QWidget* parent)
    : QWidget(parent), model_(model), links_(links), table_(new QTableWidget(0, columnCount, this)),
      empty_(new QLabel(i18n(emptyNote), this)), observer_(model, [this] {
          if (isVisible()) {
              refresh();
          }
      }) {
    setWindowTitle(i18n(title));
    setMinimumSize(minimumWidth, minimumHeight);
    table_->setObjectName("recordings");
    describe(*table_, i18n("Recordings"),
             i18n("One row per recording: when it started, the app, its length and its upload state"));
    table_->setHorizontalHeaderLabels({i18n("Started"), i18n("App"), i18n("Length"), i18n("State"), ""});
    table_->verticalHeader()->setVisible(false);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table_->horizontalHeader()->setSectionResizeMode(stateColumn, QHeaderView::Stretch);
    empty_->setObjectName("recordingsEmpty");
    empty_->setAlignment(Qt::AlignCenter);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table_);
    layout->addWidget(empty_);
}

void RecordingsWindow::refresh() {
    const Date now = Date::fromUnix(static_cast<double>(QDateTime::currentSecsSinceEpoch()));
    std::vector<RecordingLine> lines =
        recordingLines(model_.rows(), model_.uploaded(), now, processLocalTime(),
                       model_.recorder().hasEngine(), model_.recorder().partSources());
    for (RecordingLine& line : lines) {
        line.app = model_.applicationName(line.app);
    }
    if (filled_ && lines == shown_) {
        return;
    }
    shown_ = std::move(lines);
    filled_ = true;
    table_->setRowCount(static_cast<int>(shown_.size()));
    for (int index = 0; index < static_cast<int>(shown_.size()); ++index) {
        const RecordingLine& line = shown_[static_cast<std::size_t>(index)];
        table_->setItem(index, startedColumn, cell(line.started));
        table_->setItem(index, appColumn, cell(line.app));
        table_->setItem(index, lengthColumn, cell(line.length));
        table_->setItem(index, stateColumn, cell(line.state));
        auto* actions = new QWidget(table_);
        auto* row = new QHBoxLayout(actions);
        row->setContentsMargins(2, 0, 2, 0);
        const QString directory = QString::fromStdString(line.directoryName);
        if (line.hasLocalAudio) {
            QPushButton* open = button(actions, openFolderTitle,
                                       I18N_NOOP("Opens the folder that holds this recording's audio"),
                                       "openFolder:" + directory);
            QObject::connect(open, &QPushButton::clicked, this, [this, name = line.directoryName] {
                guarded(openFolderTitle, [&] { openFolder(name); });
            });
            row->addWidget(open);
        }
        if (line.canUpload) {
            QPushButton* upload =
                button(actions, uploadNowTitle, I18N_NOOP("Uploads the recordings that wait, now"),
                       "uploadNow:" + directory);
            QObject::connect(upload, &QPushButton::clicked, this,
                             [this] { guarded(uploadNowTitle, [this] { model_.uploadNow(); }); });
            row->addWidget(upload);
        }
        row->addStretch();
        // Replacing the cell widget deletes the previous one.
        table_->setCellWidget(index, actionsColumn, actions);
    }
    table_->setVisible(!shown_.empty());
    empty_->setVisible(shown_.empty());
}

void RecordingsWindow::openFolder(const std::string& directoryName) {
    const std::filesystem::path folder = model_.spoolRoot() / directoryName;
    (void)links_.open(DesktopLink::url(
        QUrl::fromLocalFile(QString::fromStdString(folder.string())).toString().toStdString()));
}

void RecordingsWindow::showEvent(QShowEvent* event) {
    refresh();
    QWidget::showEvent(event);
}

} // namespace zoq
