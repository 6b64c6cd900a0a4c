#include "ZoqShell/Service/ShellBusProperties.h"

#include "ZoqShell/Shell/MenuPresentation.h"

#include <algorithm>
#include <cerrno>
#include <string>

namespace zoq::shellbus {
namespace {

int append(sd_bus_message* message, const std::string& value) {
    return sd_bus_message_append_basic(message, 's', value.c_str());
}

int append(sd_bus_message* message, bool value) {
    const int flag = value ? 1 : 0;
    return sd_bus_message_append_basic(message, 'b', &flag);
}

// A row travels as (directory name, state word, stage word, recording id or
// "", failures, retry time in Unix seconds or 0, last error or "", stuck,
// bytes sent, byte size, the menu's label for it).
int append(sd_bus_message* message, const std::vector<UploadRow>& rows) {
    int result = sd_bus_message_open_container(message, 'a', rowSignature);
    for (auto row = rows.begin(); result >= 0 && row != rows.end(); ++row) {
        result = sd_bus_message_append(
            message, rowSignature, row->directoryName.c_str(), std::string(rawValue(row->state)).c_str(),
            std::string(rawValue(row->stage)).c_str(), row->recordingId.value_or("").c_str(), row->failures,
            row->retryAt ? row->retryAt->unixSeconds() : 0.0, row->lastError.value_or("").c_str(),
            row->stuck ? 1 : 0, row->sentBytes, row->byteSize, rowLabel(*row).c_str());
    }
    return result < 0 ? result : sd_bus_message_close_container(message);
}

int read(sd_bus_message* message, std::string& value) {
    const char* text = nullptr;
    const int result = sd_bus_message_read_basic(message, 's', &text);
    if (result > 0) {
        value = text;
    }
    return result;
}

int read(sd_bus_message* message, bool& value) {
    int flag = 0;
    const int result = sd_bus_message_read_basic(message, 'b', &flag);
    value = flag != 0;
    return result;
}

int read(sd_bus_message* message, std::vector<UploadRow>& rows) {
    int result = sd_bus_message_enter_container(message, 'a', rowSignature);
    rows.clear();
    while (result >= 0) {
        const char* fields[6] = {};
        UploadRow row;
        double retryAt = 0;
        int stuck = 0;
        result = sd_bus_message_read(message, rowSignature, &fields[0], &fields[1], &fields[2], &fields[3],
                                     &row.failures, &retryAt, &fields[4], &stuck, &row.sentBytes,
                                     &row.byteSize, &fields[5]);
        if (result <= 0) {
            break;
        }
        const auto state = artifactStateNamed(fields[1]);
        const auto stage = queueStageNamed(fields[2]);
        if (!state || !stage) {
            return -EBADMSG;
        }
        row.directoryName = fields[0];
        row.state = *state;
        row.stage = *stage;
        if (*fields[3] != '\0') {
            row.recordingId = fields[3];
        }
        if (retryAt != 0) {
            row.retryAt = Date::fromUnix(retryAt);
        }
        if (*fields[4] != '\0') {
            row.lastError = fields[4];
        }
        row.stuck = stuck != 0;
        rows.push_back(std::move(row));
    }
    return result < 0 ? result : sd_bus_message_exit_container(message);
}

template <auto member>
constexpr Property property(const char* name, const char* signature) {
    return {
        name, signature,
        [](const ShellStatus& before, const ShellStatus& after) { return before.*member != after.*member; },
        [](sd_bus_message* message, const ShellStatus& status) { return append(message, status.*member); },
        [](sd_bus_message* message, ShellStatus& status) { return read(message, status.*member); }};
}

constexpr Property table[] = {
    property<&ShellStatus::ready>("Ready", "b"),
    property<&ShellStatus::statusLine>("StatusLine", "s"),
    property<&ShellStatus::statusWarning>("StatusWarning", "b"),
    property<&ShellStatus::recorderState>("RecorderState", "s"),
    property<&ShellStatus::recordingApp>("RecordingApp", "s"),
    property<&ShellStatus::running>("Running", "b"),
    property<&ShellStatus::paired>("Paired", "b"),
    property<&ShellStatus::blockedAuth>("BlockedAuth", "b"),
    property<&ShellStatus::deviceId>("DeviceId", "s"),
    property<&ShellStatus::portal>("Portal", "s"),
    property<&ShellStatus::pairingMessage>("PairingMessage", "s"),
    property<&ShellStatus::rows>("Rows", "a(ssssxdsbxxs)"),
};

} // namespace

std::span<const Property> properties() {
    return table;
}

const Property* propertyNamed(std::string_view name) {
    const auto* found = std::find_if(std::begin(table), std::end(table),
                                     [&](const Property& entry) { return entry.name == name; });
    return found == std::end(table) ? nullptr : found;
}

std::vector<const char*> changedProperties(const ShellStatus& before, const ShellStatus& after) {
    std::vector<const char*> names;
    for (const Property& entry : table) {
        if (entry.differs(before, after)) {
            names.push_back(entry.name);
        }
    }
    return names;
}

} // namespace zoq::shellbus
