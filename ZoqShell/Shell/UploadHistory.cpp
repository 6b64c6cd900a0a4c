#include "ZoqShell/Shell/UploadHistory.h"

#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONValue.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace zoq {
namespace {

constexpr std::int64_t formatVersion = 1;

bool uploaded(const UploadRow& row) {
    return row.recordingId && (row.state == ArtifactState::stored || row.state == ArtifactState::cleaned);
}

double numberAt(const JSONValue& object, std::string_view key) {
    const JSONValue* value = object.find(key);
    const std::optional<double> number = value ? value->number() : std::nullopt;
    if (!number) {
        throw CoreError::corrupt("history entry " + std::string(key));
    }
    return *number;
}

std::string textAt(const JSONValue& object, std::string_view key) {
    const JSONValue* value = object.find(key);
    if (value == nullptr || value->string() == nullptr) {
        throw CoreError::corrupt("history entry " + std::string(key));
    }
    return *value->string();
}

} // namespace

UploadHistory::UploadHistory(std::filesystem::path file) : file_(std::move(file)) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(file_, error);
    if (error) {
        if (std::filesystem::exists(file_, error)) {
            // untranslated: a log line names the file and this problem
            problem_ = "cannot be read";
        }
        return;
    }
    if (size > maximumFileSize) {
        // untranslated: for the log, as above
        problem_ = "too large";
        return;
    }
    std::ifstream in(file_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        // untranslated: for the log, as above
        problem_ = "cannot be read";
        return;
    }
    try {
        entries_ = parse(text.str());
    } catch (const std::exception& failure) {
        problem_ = failure.what();
    }
}

bool UploadHistory::record(const std::vector<UploadRow>& rows, Date now,
                           const std::map<std::string, std::string>& sources) {
    const std::vector<UploadedRecording> before = entries_;
    for (const UploadRow& row : rows) {
        if (!uploaded(row)) {
            continue;
        }
        const bool known = std::any_of(entries_.begin(), entries_.end(), [&](const UploadedRecording& entry) {
            return entry.recordingId == *row.recordingId;
        });
        if (!known) {
            const auto source = sources.find(row.directoryName);
            entries_.push_back({*row.recordingId, row.app, row.startedAt, row.durationSeconds, now,
                                source == sources.end() ? std::string() : source->second});
        }
    }
    std::stable_sort(
        entries_.begin(), entries_.end(),
        [](const UploadedRecording& a, const UploadedRecording& b) { return a.startedAt < b.startedAt; });
    if (entries_.size() > capacity) {
        entries_.erase(entries_.begin(),
                       entries_.begin() + static_cast<std::ptrdiff_t>(entries_.size() - capacity));
    }
    // A full history given rows older than all it keeps (their spool
    // directories not yet cleaned) changes nothing: they go again at once.
    return entries_ != before;
}

void UploadHistory::save(const std::filesystem::path& file, const std::vector<UploadedRecording>& entries) {
    JSONValue::Array list;
    for (const UploadedRecording& entry : entries) {
        JSONValue::Object item{{"recordingId", entry.recordingId},
                               {"app", entry.app},
                               {"startedAt", entry.startedAt.unixSeconds()},
                               {"seconds", entry.durationSeconds},
                               {"uploadedAt", entry.uploadedAt.unixSeconds()}};
        // Optional, so older versions still read the file.
        if (!entry.systemSource.empty()) {
            item.emplace("systemAudioSource", entry.systemSource);
        }
        list.emplace_back(std::move(item));
    }
    const std::string text =
        JSONValue(JSONValue::Object{{"version", formatVersion}, {"uploaded", std::move(list)}})
            .canonicalText();
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    if (error) {
        throw CoreError::io("mkdir", error.value());
    }
    // A file this version could not read is kept aside, not overwritten.
    if (std::filesystem::exists(file, error)) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream current;
        current << in.rdbuf();
        bool readable = in.good() || in.eof();
        if (readable) {
            try {
                (void)parse(current.str());
            } catch (const std::exception&) {
                readable = false;
            }
        }
        if (!readable) {
            DurableIO().rename(file, std::filesystem::path(file) += ".damaged");
        }
    }
    DurableIO().atomic(viewOf(text), file);
}

std::vector<UploadedRecording> UploadHistory::parse(std::string_view text) {
    JSONValue document;
    try {
        document = JSONValue::parse(text);
    } catch (const std::exception&) {
        throw CoreError::corrupt("history is not JSON");
    }
    const JSONValue* version = document.find("version");
    const JSONValue* list = document.find("uploaded");
    if (version == nullptr || version->integer() != formatVersion || list == nullptr ||
        list->array() == nullptr) {
        throw CoreError::corrupt("history is not a version 1 history");
    }
    std::vector<UploadedRecording> entries;
    for (const JSONValue& item : *list->array()) {
        const JSONValue* source = item.find("systemAudioSource");
        if (source != nullptr && source->string() == nullptr) {
            throw CoreError::corrupt("history entry systemAudioSource");
        }
        entries.push_back({textAt(item, "recordingId"), textAt(item, "app"),
                           Date::fromUnix(numberAt(item, "startedAt")), numberAt(item, "seconds"),
                           Date::fromUnix(numberAt(item, "uploadedAt")),
                           source != nullptr ? *source->string() : std::string()});
    }
    if (entries.size() > capacity) {
        entries.erase(entries.begin(),
                      entries.begin() + static_cast<std::ptrdiff_t>(entries.size() - capacity));
    }
    return entries;
}

} // namespace zoq
