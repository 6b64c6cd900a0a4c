#include "ZoqShell/Shell/ApplicationNames.h"

#include "ZoqCaptureEngine/DesktopEntryIndex.h"

#include <algorithm>

namespace zoq {

std::string applicationName(const DesktopEntryIndex& index, const std::string& id) {
    const std::vector<DesktopEntry>& entries = index.entries();
    const auto found =
        std::lower_bound(entries.begin(), entries.end(), id,
                         [](const DesktopEntry& entry, const std::string& key) { return entry.id < key; });
    return found != entries.end() && found->id == id && !found->name.empty() ? found->name : id;
}

std::string ApplicationNames::nameOf(const std::string& id) const {
    std::shared_ptr<const DesktopEntryIndex> index;
    {
        const std::lock_guard lock(mutex_);
        index = index_;
    }
    return index ? applicationName(*index, id) : id;
}

void ApplicationNames::update(std::shared_ptr<const DesktopEntryIndex> index) {
    const std::lock_guard lock(mutex_);
    index_ = std::move(index);
}

} // namespace zoq
