#pragma once

#include <filesystem>
#include <string>

namespace zoq {

/// The name this computer is shown under in the portal when it pairs: the
/// pretty host name the person gave it (PRETTY_HOSTNAME in `machineInfo`, as
/// hostnamectl writes it), else the host name, else "Linux computer".
std::string deviceName(const std::filesystem::path& machineInfo = "/etc/machine-info");

} // namespace zoq
