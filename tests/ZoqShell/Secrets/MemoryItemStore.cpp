#include "tests/ZoqShell/Secrets/MemoryItemStore.h"

namespace zoq::test {

void MemoryItemStore::enter(const char* operation, const SecItemQuery& query) {
    calls_.push_back({operation, query});
    const std::size_t number = calls_.size();
    if (crashAt_ && number >= *crashAt_) {
        throw SimulatedCrash{};
    }
    if (const auto failure = failures_.find(number); failure != failures_.end()) {
        throw failure->second;
    }
}

void MemoryItemStore::add(const SecItemQuery& query, ByteView data) {
    enter("add", query);
    if (items_.contains(key(query))) {
        throw SecretsError::osStatus(SecretsError::duplicateItem);
    }
    items_.emplace(key(query), Bytes(data.begin(), data.end()));
}

std::optional<Bytes> MemoryItemStore::copyData(const SecItemQuery& query) {
    enter("copyData", query);
    return item(query);
}

void MemoryItemStore::update(const SecItemQuery& query, ByteView data) {
    enter("update", query);
    const auto found = items_.find(key(query));
    if (found == items_.end()) {
        throw SecretsError::osStatus(SecretsError::itemNotFound);
    }
    found->second.assign(data.begin(), data.end());
}

void MemoryItemStore::deleteItems(const SecItemQuery& query) {
    enter("deleteItems", query);
    items_.erase(key(query));
}

void MemoryItemStore::restart() {
    calls_.clear();
    failures_.clear();
    crashAt_.reset();
}

std::optional<Bytes> MemoryItemStore::item(const SecItemQuery& query) const {
    const auto found = items_.find(key(query));
    if (found == items_.end()) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace zoq::test
