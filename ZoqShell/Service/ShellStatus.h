#pragma once

#include "ZoqShell/Uploader/UploadRow.h"

#include <string>
#include <vector>

namespace zoq {

class ShellModel;

/// What the zoq service publishes about itself on the session bus: one
/// property each, read by `zoq status` and any other client. A plain value,
/// taken from the model on the main thread and read on any other.
struct ShellStatus {
    /// The model is attached and the stored credentials have been opened.
    bool ready = false;
    /// The menu's first line and whether it shows as a warning.
    std::string statusLine;
    bool statusWarning = false;
    /// The recorder's state, its raw value ("stopped", "armed", "recording", ...).
    std::string recorderState = "stopped";
    /// The application being recorded; empty when none.
    std::string recordingApp;
    /// Recording is switched on (an engine runs, whatever its state).
    bool running = false;
    bool paired = false;
    bool blockedAuth = false;
    /// The paired device's identifier; empty when not paired.
    std::string deviceId;
    /// The portal address in the settings, as stored but without any user
    /// name or password written into it.
    std::string portal;
    /// The last pairing or portal-address message; empty when none.
    std::string pairingMessage;
    /// One per spool directory, as the uploader last reported them, oldest
    /// first by start; without the part's app, start and length, which the
    /// bus does not carry.
    std::vector<UploadRow> rows;

    /// Reads `model` (main thread only). Throws `CoreError` when the settings
    /// file cannot be read.
    static ShellStatus of(ShellModel& model);

    friend bool operator==(const ShellStatus&, const ShellStatus&) = default;
};

} // namespace zoq
