#include "ZoqShell/Secrets/KeychainSecrets.h"

#include <exception>
#include <stdexcept>

namespace zoq {
namespace {

// Removing the staging item is cleanup: whether it fails or not, the stored
// state is already decided, and a leftover staging item holds the same bytes the
// live item has (or will be promoted by the next retrieve).
void deleteIgnoringErrors(SecItemStoring& items, const SecItemQuery& query) noexcept {
    try {
        items.deleteItems(query);
    } catch (...) {
    }
}

} // namespace

KeychainSecrets::KeychainSecrets(std::string service, std::string account,
                                 std::unique_ptr<SecItemStoring> items)
    : service_(std::move(service)), account_(std::move(account)), items_(std::move(items)) {
    if (!items_) {
        throw std::invalid_argument("KeychainSecrets needs an item store");
    }
}

void KeychainSecrets::store(ByteView data) {
    const SecItemQuery base = baseQuery();
    const SecItemQuery staging = stagingQuery();

    deleteIgnoringErrors(*items_, staging);
    items_->add(staging, data);

    std::exception_ptr failure;
    try {
        if (items_->copyData(base)) {
            items_->update(base, data);
        } else {
            items_->add(base, data);
        }
    } catch (...) {
        failure = std::current_exception();
    }

    deleteIgnoringErrors(*items_, staging);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

std::optional<Bytes> KeychainSecrets::retrieve() {
    const SecItemQuery base = baseQuery();
    const SecItemQuery staging = stagingQuery();

    if (const std::optional<Bytes> staged = items_->copyData(staging)) {
        if (items_->copyData(base)) {
            items_->update(base, *staged);
        } else {
            items_->add(base, *staged);
        }
        deleteIgnoringErrors(*items_, staging);
    }
    return items_->copyData(base);
}

void KeychainSecrets::erase() {
    items_->deleteItems(stagingQuery());
    items_->deleteItems(baseQuery());
}

} // namespace zoq
