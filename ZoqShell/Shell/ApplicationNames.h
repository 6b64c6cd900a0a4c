#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace zoq {

class DesktopEntryIndex;

/// The one name a person reads for the application `id` everywhere (the
/// status line, the notices, the allowlist, the Recordings window, the bus's
/// status line): the "Name" of the desktop entry with that identifier, or the
/// identifier itself when there is none.
std::string applicationName(const DesktopEntryIndex& index, const std::string& id);

/// `applicationName` over the index last handed in, for every thread: the
/// model asks on the main thread, and the index is read off it (reading
/// every desktop file takes a while), so until the first one arrives the
/// identifier is the name.
class ApplicationNames {
public:
    std::string nameOf(const std::string& id) const;
    void update(std::shared_ptr<const DesktopEntryIndex> index);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const DesktopEntryIndex> index_; // guarded by mutex_
};

} // namespace zoq
