#pragma once

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Shell/RecordingList.h"
#include "ZoqUI/ModelObserver.h"

#include <QWidget>
#include <functional>
#include <vector>

class QLabel;
class QTableWidget;

namespace zoq {

class ShellModel;
class LinkOpening;

/// "zoq Recordings": one row per recording part, newest first, with its
/// start, the application, the length and its state in words, and the
/// actions "Open folder" (while the part's audio is on this computer) and
/// "Upload now". Parts whose local files were cleaned stay listed from the
/// upload history. The table follows the model's changes as they are
/// announced; it polls nothing itself.
///
/// Object names, for the desktop test and assistive tools: the table is
/// "recordings", its buttons "openFolder:DIRECTORY" and "uploadNow:DIRECTORY".
///
/// Main thread. The model and the link opener are borrowed.
class RecordingsWindow final : public QWidget {
public:
    static constexpr const char* title = I18N_NOOP("zoq Recordings");
    static constexpr const char* emptyNote = I18N_NOOP("No recordings yet");
    static constexpr const char* openFolderTitle = I18N_NOOP("Open folder");
    static constexpr const char* uploadNowTitle = I18N_NOOP("Upload now");
    static constexpr int minimumWidth = 640;
    static constexpr int minimumHeight = 360;

    enum Column { startedColumn, appColumn, lengthColumn, stateColumn, actionsColumn, columnCount };

    RecordingsWindow(ShellModel& model, LinkOpening& links, QWidget* parent = nullptr);

    QTableWidget& table() noexcept { return *table_; }
    /// What the table shows now.
    const std::vector<RecordingLine>& lines() const noexcept { return shown_; }

    /// Reads the model again (also called on every change it announces).
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void openFolder(const std::string& directoryName);

    ShellModel& model_;
    LinkOpening& links_;
    QTableWidget* table_;
    QLabel* empty_;
    std::vector<RecordingLine> shown_;
    bool filled_ = false;
    ModelObserver observer_;
};

} // namespace zoq
