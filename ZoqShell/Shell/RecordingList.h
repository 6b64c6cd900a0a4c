#pragma once

#include "ZoqCore/Support/Date.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Shell/UploadHistory.h"
#include "ZoqShell/Uploader/UploadRow.h"

#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zoq {

/// One line of the Recordings window, in words: derived afresh from the
/// model's rows and its upload history each time, toolkit-free so the window
/// and its tests read the same texts.
struct RecordingLine {
    /// The spool directory's name; empty for a recording known only from the
    /// history (its local files are gone).
    std::string directoryName;
    std::optional<std::string> recordingId;
    Date startedAt;
    /// "Today 14:05", "Yesterday 09:12" or "2026-12-01 17:40" (local time).
    std::string started;
    std::string app;
    /// "m:ss" (or "h:mm:ss").
    std::string length;
    /// "Waiting to upload", "Uploading 42 %", "Uploaded at 14:31", ...
    std::string state;
    /// The part's audio is still on this computer ("Open folder").
    bool hasLocalAudio = false;
    /// An upload pass would do something for it ("Upload now").
    bool canUpload = false;

    friend bool operator==(const RecordingLine&, const RecordingLine&) = default;
};

/// Turns an instant into local broken-down time; the window uses the
/// process's time zone, tests a fixed one.
using LocalTime = std::function<std::tm(Date)>;
LocalTime processLocalTime();

/// "Today 14:05" when `when` falls on `now`'s local day, "Yesterday 14:05"
/// on the day before, "2026-12-01 14:05" otherwise.
std::string startedText(Date when, Date now, const LocalTime& local);
/// "0:07", "12:30", "1:02:03"; fractions of a second are dropped.
std::string lengthText(double seconds);
/// The row's state in words. `uploadedAt` is when the history first saw it
/// stored, when known.
std::string stateText(const UploadRow& row, std::optional<Date> uploadedAt, const LocalTime& local);

/// What a part still being written says while no engine runs to write it
/// (the recording stopped on a failure): the next run finishes it.
inline constexpr const char* interruptedText =
    I18N_NOOP("Interrupted — finished when recording starts again");

/// Added to the state of a part whose right channel fell back to everything
/// the computer plays because the recorded application played nothing.
inline constexpr const char* fallbackNote =
    I18N_NOOP("right channel: everything the computer played (the app played nothing)");

/// Every row and every uploaded recording no row still shows, newest first
/// by start time. `engineRunning`: an engine runs, so a part being written
/// is being recorded now; else it is `interruptedText`. `sources`: the right
/// channel's source of the parts recorded in this run, by directory name
/// (the upload history keeps it for the others).
std::vector<RecordingLine> recordingLines(const std::vector<UploadRow>& rows,
                                          const std::vector<UploadedRecording>& uploaded, Date now,
                                          const LocalTime& local, bool engineRunning = true,
                                          const std::map<std::string, std::string>& sources = {});

} // namespace zoq
