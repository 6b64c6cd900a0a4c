#pragma once

#include "ZoqShell/Secrets/SecItemStoring.h"
#include "ZoqShell/Secrets/SecretsError.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zoq::test {

/// Thrown by every call of a `MemoryItemStore` after its simulated crash. Not a
/// std::exception, and nothing after the crash point reaches the items, so
/// even code that swallows it cannot change what the "next run" sees.
struct SimulatedCrash {};

/// An in-memory keyring with a call log and fault injection, for testing code
/// above `SecItemStoring`. Not thread-safe.
class MemoryItemStore final : public SecItemStoring {
public:
    struct Call {
        std::string operation; // "add", "copyData", "update", "deleteItems"
        SecItemQuery query;
        bool operator==(const Call&) const = default;
    };

    void add(const SecItemQuery& query, ByteView data) override;
    std::optional<Bytes> copyData(const SecItemQuery& query) override;
    void update(const SecItemQuery& query, ByteView data) override;
    void deleteItems(const SecItemQuery& query) override;

    /// The call numbered `number` (1-based, counting every call since
    /// construction or `restart`) throws `error` and changes nothing.
    void failCall(std::size_t number, SecretsError error) { failures_.emplace(number, std::move(error)); }
    /// From the call numbered `number` on, every call throws `SimulatedCrash`
    /// and changes nothing: the process died just before that call.
    void crashAtCall(std::size_t number) { crashAt_ = number; }
    /// A new process: the items stay, the call count, log and faults are reset.
    void restart();

    void put(const SecItemQuery& query, Bytes data) { items_[key(query)] = std::move(data); }
    std::optional<Bytes> item(const SecItemQuery& query) const;
    std::size_t itemCount() const { return items_.size(); }
    const std::vector<Call>& calls() const { return calls_; }

private:
    using Key = std::pair<std::string, std::string>;
    static Key key(const SecItemQuery& query) { return {query.service, query.account}; }
    void enter(const char* operation, const SecItemQuery& query);

    std::map<Key, Bytes> items_;
    std::vector<Call> calls_;
    std::map<std::size_t, SecretsError> failures_;
    std::optional<std::size_t> crashAt_;
};

} // namespace zoq::test
