#include "Zoq/zoq/CommandLine.h"
#include "Zoq/zoq/SpoolRoot.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/ArtifactState.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Uploader/UploadRow.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

namespace zoq::cli {
namespace {

namespace fs = std::filesystem;

struct SpoolOptions {
    std::string root;
    bool json = false;
    std::string ffmpeg = FFmpegFLACEncoder::defaultExecutable;
};

/// The part directories of a root, by name. Entries that are not directories
/// (the root's lock, the preferences file, anything planted) are no parts; a
/// symbolic link is not followed.
std::vector<fs::path> partDirectories(const fs::path& root) {
    std::vector<fs::path> directories;
    for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
        if (entry.is_directory() && !entry.is_symlink()) {
            directories.push_back(entry.path());
        }
    }
    std::sort(directories.begin(), directories.end());
    return directories;
}

fs::path chosenRoot(const SpoolOptions& options) {
    return options.root.empty() ? defaultSpoolRoot() : fs::path(options.root);
}

std::string seconds(std::int64_t frames) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f",
                  static_cast<double>(frames) / static_cast<double>(pcm::sampleRate));
    return text;
}

void printTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line.append(widths[i] - row[i].size() + 2, ' ');
            }
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << '\n';
    }
}

/// Reads every manifest without taking a lock (a recorder or uploader may hold
/// it) and without writing anything: a read that races a writer at worst shows
/// the previous manifest, because manifests are replaced by rename.
void list(const SpoolOptions& options, Context& context) {
    const fs::path root = chosenRoot(options);
    if (!fs::is_directory(root)) {
        context.streams.err << "zoq: " << substitute(i18n("no spool at {1}"), {root.string()}) << '\n';
        context.exitCode = exitFailure;
        return;
    }
    refuseForeignSpoolRoot(root);
    const DurableIO io;
    std::vector<std::vector<std::string>> rows{{"NAME", "STATE", "QUEUE", "DURABLE_S", "ERROR"}};
    JSONValue::Array items;
    for (const fs::path& directory : partDirectories(root)) {
        const std::string name = directory.filename().string();
        try {
            const ArtifactManifest manifest = Artifact::readManifest(directory, io);
            const std::string state(rawValue(manifest.state));
            const std::string stage(rawValue(UploadRow::shownStage(manifest)));
            const std::string error = manifest.error.value_or("");
            rows.push_back({name, state, stage, seconds(manifest.durableFrames), error});
            JSONValue::Object item{{"name", name},
                                   {"state", state},
                                   {"queueStage", stage},
                                   {"durableFrames", manifest.durableFrames},
                                   {"durableSeconds", static_cast<double>(manifest.durableFrames) /
                                                          static_cast<double>(pcm::sampleRate)}};
            if (manifest.error) {
                item.emplace("error", *manifest.error);
            }
            items.emplace_back(std::move(item));
        } catch (const std::exception& error) {
            rows.push_back({name, "-", "-", "-", Artifact::reasonOf(error)});
            items.emplace_back(JSONValue::Object{{"name", name}, {"error", Artifact::reasonOf(error)}});
        }
    }
    if (options.json) {
        context.streams.out << JSONValue(std::move(items)).canonicalText() << '\n';
    } else {
        printTable(context.streams.out, rows);
    }
}

/// Recovers every part directory; see the command's help for the exit code.
void recover(const SpoolOptions& options, Context& context) {
    const fs::path root = chosenRoot(options);
    ensureSpoolRoot(root);
    const HostClock clock;
    const FFmpegFLACEncoder encoder(options.ffmpeg);
    const auto io = std::make_shared<DurableIO>();
    std::vector<std::vector<std::string>> rows;
    JSONValue::Array items;
    bool attention = false;
    for (const fs::path& directory : partDirectories(root)) {
        const std::string name = directory.filename().string();
        std::string outcome;
        std::string detail;
        try {
            RecoveryResult result = Artifact::recover(directory, clock, encoder, io);
            if (result.isRecovered()) {
                outcome = "recovered";
                detail = rawValue(result.artifact().manifest().state);
            } else {
                outcome = "quarantined";
                detail = result.reason();
                attention = true;
            }
        } catch (const CoreError& error) {
            if (error.kind() == CoreError::Kind::locked) {
                // Someone is working on it right now; that is no fault.
                outcome = "locked";
            } else {
                outcome = "failed";
                detail = error.reason();
                attention = true;
            }
        } catch (const std::exception& error) {
            outcome = "failed";
            detail = error.what();
            attention = true;
        }
        rows.push_back({name, detail.empty() ? outcome : outcome + " " + detail});
        JSONValue::Object item{{"name", name}, {"outcome", outcome}};
        if (!detail.empty()) {
            item.emplace(outcome == "recovered" ? "state" : "reason", detail);
        }
        items.emplace_back(std::move(item));
    }
    if (options.json) {
        context.streams.out << JSONValue(std::move(items)).canonicalText() << '\n';
    } else {
        printTable(context.streams.out, rows);
    }
    context.exitCode = attention ? exitFailure : exitSuccess;
}

void addRootOptions(CLI::App& command, SpoolOptions& options) {
    command.add_option("--root", options.root,
                       i18n("Spool root (default: $XDG_DATA_HOME/zoq/spool, else ~/.local/share/zoq/spool)"));
    command.add_flag("--json", options.json, i18n("Print one JSON array instead of a table"));
}

} // namespace

void addSpoolCommand(CLI::App& app, Context& context) {
    auto options = std::make_shared<SpoolOptions>();
    auto* spool = app.add_subcommand("spool", i18n("Inspect and recover the recording spool"));
    spool->require_subcommand(1);

    auto* listCommand = spool->add_subcommand(
        "list",
        i18n("One row per part directory, by name: state, upload stage, durable seconds and error.\n"
             "A directory whose manifest cannot be read shows why. Takes no lock and changes nothing."));
    addRootOptions(*listCommand, *options);
    listCommand->callback([options, &context] { list(*options, context); });

    auto* recoverCommand = spool->add_subcommand(
        "recover",
        i18n("Recover every part directory after a crash: finish interrupted parts, re-verify\n"
             "published FLAC files, release stale upload leases, quarantine what is inconsistent.\n"
             "Prints 'recovered STATE', 'quarantined REASON', 'failed REASON' or 'locked' (in use by\n"
             "a running recorder or uploader; skipped) per directory.\n"
             "Exit code: 0 when every directory is recovered or locked, 1 when any is quarantined\n"
             "(now or earlier) or failed, so a script can tell that something needs attention."));
    addRootOptions(*recoverCommand, *options);
    recoverCommand->add_option("--ffmpeg", options->ffmpeg, i18n("The ffmpeg executable"))
        ->capture_default_str();
    recoverCommand->callback([options, &context] { recover(*options, context); });
}

} // namespace zoq::cli
