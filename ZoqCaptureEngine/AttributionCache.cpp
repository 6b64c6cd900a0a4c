#include "ZoqCaptureEngine/AttributionCache.h"

#include <algorithm>

namespace zoq {

std::optional<Attribution> AttributionCache::find(const AudioClientIdentity& client,
                                                  const ProcessTreeProviding& tree) {
    std::optional<Entry> entry;
    {
        const std::lock_guard lock(mutex_);
        const auto found = std::ranges::find(entries_, client, &Entry::client);
        if (found == entries_.end()) {
            return std::nullopt;
        }
        entry = *found;
    }
    // Reading /proc happens outside the lock: other threads' lookups need not
    // wait for it.
    if (holds(*entry, tree)) {
        return entry->attribution;
    }
    const std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& stale) {
        return stale.client == client && stale.pins == entry->pins && stale.processIDs == entry->processIDs;
    });
    return std::nullopt;
}

bool AttributionCache::holds(const Entry& entry, const ProcessTreeProviding& tree) {
    if (entry.pins.empty()) {
        std::vector<std::int32_t> now = tree.processIDs();
        std::ranges::sort(now);
        return now == entry.processIDs;
    }
    return std::ranges::all_of(entry.pins,
                               [&](const Pin& pin) { return tree.startTime(pin.pid) == pin.startTime; });
}

void AttributionCache::store(const AudioClientIdentity& client, const Attribution& attribution,
                             std::vector<Pin> pins) {
    insert(Entry{client, attribution, std::move(pins), {}});
}

void AttributionCache::storeUntrusted(const AudioClientIdentity& client, const Attribution& attribution,
                                      std::vector<std::int32_t> processIDs) {
    std::ranges::sort(processIDs);
    insert(Entry{client, attribution, {}, std::move(processIDs)});
}

void AttributionCache::insert(Entry entry) {
    const std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& old) { return old.client == entry.client; });
    if (entries_.size() >= capacity_ && !entries_.empty()) {
        entries_.pop_front();
    }
    entries_.push_back(std::move(entry));
}

std::size_t AttributionCache::size() const {
    const std::lock_guard lock(mutex_);
    return entries_.size();
}

} // namespace zoq
