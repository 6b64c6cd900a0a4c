#pragma once

#include "ZoqCore/Spool/FLACEncoder.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Upload/HTTPReply.h"
#include "ZoqCore/Upload/UploadCommand.h"
#include "ZoqCore/Upload/UploadEffect.h"
#include "ZoqShell/Auth/DeviceAuth.h"
#include "ZoqShell/System/NetworkObserving.h"
#include "ZoqShell/Transport/WireTransport.h"
#include "ZoqShell/Uploader/SerialWorker.h"
#include "ZoqShell/Uploader/UploadRow.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zoq {

class ShellSettings;

/// Moves finished recordings from the spool to the portal. Each pass walks the
/// spool root (one directory per recording part, in name order), recovers the
/// recordings that have something to do, drives their upload queues through
/// device authentication and the transport, removes the local audio of what
/// the portal stored and publishes one row per directory.
///
/// It keeps nothing of its own between passes: every decision is in the
/// manifests, so a pass may be repeated at any time, after any crash, and by
/// another process (the directory locks keep two workers off one recording).
///
/// An idle spool costs nothing: a recording whose manifest, as listed, says it
/// cannot be claimed now (not leased, and its retry time still ahead, or
/// waiting for a network that is still unusable) is skipped without locking,
/// recovering or re-verifying its audio. Leased records (a dead worker's lease
/// to release), stored ones (to clean up) and claimable ones are recovered
/// and driven.
///
/// Threads. Passes, `resumeAfterPair`, `readRows` and `publishRows` run one at
/// a time on the uploader's own worker thread; the asynchronous calls return
/// futures and may be made from any thread. `onRows` and `setBaseURL` are
/// synchronous, callable from any thread, each guarded by its own lock. The
/// rows handler is called on the worker thread, outside every lock; it must
/// not wait on a future of this uploader.
///
/// A pass first adopts what other processes saved in the credential store,
/// then resumes recordings that wait on authentication under the device's
/// current identity when its credentials are usable (not blocked): a refresh
/// whose replies were lost leaves them there, and the next pass after the
/// credentials recovered must not need a new pairing to move them.
///
/// Errors of single recordings never escape a pass: they end that
/// recording's drive (`blocked`, or a scheduled retry for a failed send) and
/// the next pass starts again from its manifest.
///
/// Everything in `Dependencies` and the clock is borrowed and must outlive the
/// uploader. Destroying it waits for the running job and drops queued ones.
class SpoolUploader {
public:
    struct Dependencies {
        DeviceAuth& auth;
        WireTransport& transport;
        const NetworkObserving& network;
        /// A new encoder for each recovery.
        std::function<std::unique_ptr<FLACEncoder>()> encoder;
        /// Where the stored portal address is read ("apiBaseURL"); none uses
        /// `ShellSettings::defaultAPIBaseURL`.
        const ShellSettings* settings = nullptr;
    };

    /// The rows in listing order, and whether the device credentials are blocked.
    using RowsHandler = std::function<void(const std::vector<UploadRow>& rows, bool blocked)>;

    /// Commands one drive sends at most, so one recording cannot hold a pass.
    static constexpr int maximumCommandsPerDrive = 100;

    SpoolUploader(std::filesystem::path spoolRoot, Dependencies dependencies, const CoreClock& clock);
    ~SpoolUploader();
    SpoolUploader(const SpoolUploader&) = delete;
    SpoolUploader& operator=(const SpoolUploader&) = delete;

    /// Installs (or, with an empty function, removes) the rows handler.
    void onRows(RowsHandler handler);
    /// Sets or clears the portal address that replaces the stored one.
    void setBaseURL(std::optional<std::string> base);

    /// One pass over the spool; the effects of all recordings in listing order.
    std::future<std::vector<UploadEffect>> tickOnce();
    /// Re-enables recordings blocked on authentication after a pairing: the
    /// same device resumes, another device rebases the upload. Returns how
    /// many were handled.
    std::future<int> resumeAfterPair(std::string currentDeviceId);
    /// One row per spool directory with a readable manifest, any state.
    std::future<std::vector<UploadRow>> readRows();
    /// Hands the current rows to the handler, if one is installed.
    std::future<void> publishRows();
    /// Gives up the pass under way (any thread, returns at once): a request
    /// that fails from now on leaves its recording as its last committed
    /// step did (the lease it holds is released by the next pass, in this
    /// process or another), and no further recording is driven, in this
    /// pass or a later one. For quitting: pair it with cancelling the
    /// transport's requests, so the pass ends at once.
    void abandon() noexcept { abandoned_.store(true); }

    /// The portal address in force: the override, else the stored one, else
    /// the default. Throws `CoreError::invalid("api base URL")` when it does
    /// not parse as an http(s) URL.
    std::string baseURL() const;

private:
    struct Entry {
        std::filesystem::path directory;
        ArtifactManifest manifest;
    };

    // Worker-thread halves of the public calls.
    std::vector<UploadEffect> pass();
    int resume(const std::string& currentDeviceId);
    // Resumes (same device) or rebases (another device) one recording blocked
    // on authentication; false when it was not, or no longer, so blocked.
    bool resumeOne(const std::filesystem::path& directory, const std::string& currentDeviceId);
    std::vector<UploadRow> rows() const;
    void publish() const;

    /// The readable entries of the spool root in name order; empty when the
    /// root cannot be listed.
    std::vector<Entry> list() const;
    bool idle(const ArtifactManifest& manifest) const;
    std::vector<UploadEffect> drive(const std::filesystem::path& directory);
    HTTPReply execute(const UploadCommand& command);

    const std::filesystem::path spoolRoot_;
    Dependencies deps_;
    const CoreClock& clock_;

    mutable std::mutex handlerLock_;
    RowsHandler rowsHandler_; // guarded by handlerLock_
    mutable std::mutex baseLock_;
    std::optional<std::string> baseOverride_; // guarded by baseLock_
    std::atomic<bool> abandoned_ = false;

    // Last member: destroyed (and joined) first, while the rest still exists.
    SerialWorker worker_;
};

} // namespace zoq
