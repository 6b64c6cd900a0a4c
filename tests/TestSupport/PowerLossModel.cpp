#include "tests/TestSupport/PowerLossModel.h"

#include "ZoqCore/Spool/DurableIO.h"

#include <fstream>
#include <system_error>
#include <utility>

namespace zoq::test {
namespace {

constexpr std::string_view lockName = ".lock";

bool startsWith(const std::string& text, std::string_view prefix) {
    return text.rfind(prefix, 0) == 0;
}

Bytes contentOf(const std::filesystem::path& path) {
    return DurableIO().read(path, 0);
}

} // namespace

PowerLossModel::PowerLossModel(std::filesystem::path directory) : directory_(std::move(directory)) {}

void PowerLossModel::refresh() {
    std::error_code error;
    std::map<std::string, int> now;
    for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
        const std::string name = entry.path().filename().string();
        if (name == lockName) {
            continue;
        }
        const auto known = current_.find(name);
        now[name] = known != current_.end() ? known->second : nextFile_++;
    }
    current_ = std::move(now);
}

void PowerLossModel::observe(const std::string& boundary) {
    constexpr std::string_view renamed = "after:rename:", synced = "after:fsync:";
    if (startsWith(boundary, renamed)) {
        const std::string destination = boundary.substr(renamed.size());
        const std::string source = destination == "audio.flac" ? "audio.flac.tmp" : destination + ".next";
        if (const auto file = current_.find(source); file != current_.end()) {
            current_[destination] = file->second;
            current_.erase(file);
        }
    }
    refresh();
    if (startsWith(boundary, synced)) {
        const std::string label = boundary.substr(synced.size());
        if (label == "directory") {
            durable_ = current_;
        } else if (const auto file = current_.find(label); file != current_.end()) {
            synced_[file->second] = contentOf(directory_ / label);
        }
    }
}

void PowerLossModel::crash() {
    if (!durable_) {
        std::filesystem::remove_all(directory_);
        return;
    }
    for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
        if (entry.path().filename() != lockName) {
            std::filesystem::remove(entry.path());
        }
    }
    for (const auto& [name, file] : *durable_) {
        const auto content = synced_.find(file);
        std::ofstream out(directory_ / name, std::ios::binary);
        if (content != synced_.end()) {
            out.write(reinterpret_cast<const char*>(content->second.data()),
                      static_cast<std::streamsize>(content->second.size()));
        }
    }
    current_ = *durable_;
}

} // namespace zoq::test
