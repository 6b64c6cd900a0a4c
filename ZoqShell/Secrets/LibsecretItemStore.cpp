#include "ZoqShell/Secrets/LibsecretItemStore.h"

#include "ZoqShell/Secrets/SecretsError.h"

// libsecret keeps its object-path API behind this macro; only
// secret_collection_new_for_dbus_path_sync is used from it, to name a
// collection by path.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>
#include <memory>
#include <vector>

namespace zoq {
namespace {

// RAII for the C handles used here, in one place.
struct GObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct HashTableUnref {
    void operator()(GHashTable* table) const noexcept { g_hash_table_unref(table); }
};
struct SecretValueUnref {
    void operator()(SecretValue* value) const noexcept { secret_value_unref(value); }
};
struct VariantUnref {
    void operator()(GVariant* value) const noexcept { g_variant_unref(value); }
};

class ErrorSlot {
public:
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;
    ~ErrorSlot() {
        if (error_) {
            g_error_free(error_);
        }
    }
    GError** out() noexcept { return &error_; }
    const GError* get() const noexcept { return error_; }

private:
    GError* error_ = nullptr;
};

const SecretSchema& itemSchema() {
    // Matched by name (no SECRET_SCHEMA_DONT_MATCH_NAME): only items written
    // with this schema are ever found.
    static const SecretSchema schema = {
        LibsecretItemStore::schemaName,
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return schema;
}

// Maps a GLib/libsecret failure to its stable status. `fallback` is the status
// for failures the table does not name (unavailable while connecting, a
// generic call failure afterwards).
SecretsError statusError(const GError* error, std::int32_t fallback) {
    if (!error) {
        return SecretsError::osStatus(fallback);
    }
    const std::string detail = error->message ? error->message : "";
    std::int32_t status = fallback;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
        g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMED_OUT) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY)) {
        status = SecretsError::timedOut;
    } else if (error->domain == SECRET_ERROR) {
        switch (error->code) {
        case SECRET_ERROR_IS_LOCKED:
            status = SecretsError::keyringLocked;
            break;
        case SECRET_ERROR_NO_SUCH_OBJECT:
            status = SecretsError::itemNotFound;
            break;
        case SECRET_ERROR_ALREADY_EXISTS:
            status = SecretsError::duplicateItem;
            break;
        case SECRET_ERROR_PROTOCOL:
            status = SecretsError::protocolError;
            break;
        default:
            break;
        }
    } else if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_DISCONNECTED:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FORK_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
            status = SecretsError::serviceUnavailable;
            break;
        case G_DBUS_ERROR_ACCESS_DENIED:
        case G_DBUS_ERROR_AUTH_FAILED:
            status = SecretsError::accessDenied;
            break;
        default:
            break;
        }
    } else if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED)) {
        status = SecretsError::serviceUnavailable;
    }
    return SecretsError::osStatus(status, detail);
}

// One operation's view of the keyring: the service connection and the
// collection, checked to exist and to be unlocked.
struct Keyring {
    GObjectPtr<SecretService> service;
    GObjectPtr<SecretCollection> collection;
};

bool collectionLocked(SecretCollection* collection, GCancellable* cancellable) {
    // Asked afresh rather than read from the proxy's cache: the cached property
    // follows change signals that a worker thread's private main context may
    // never have dispatched.
    ErrorSlot error;
    const std::unique_ptr<GVariant, VariantUnref> reply(
        g_dbus_proxy_call_sync(G_DBUS_PROXY(collection), "org.freedesktop.DBus.Properties.Get",
                               g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"),
                               G_DBUS_CALL_FLAGS_NONE, -1, cancellable, error.out()));
    if (!reply) {
        throw statusError(error.get(), SecretsError::callFailed);
    }
    if (!g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(v)"))) {
        throw SecretsError::osStatus(SecretsError::protocolError, "Locked property reply");
    }
    GVariant* boxed = nullptr;
    g_variant_get(reply.get(), "(v)", &boxed);
    const std::unique_ptr<GVariant, VariantUnref> value(boxed);
    if (!g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)) {
        throw SecretsError::osStatus(SecretsError::protocolError, "Locked property type");
    }
    return g_variant_get_boolean(value.get()) != FALSE;
}

Keyring openKeyring(const std::string& name, GCancellable* cancellable) {
    Keyring keyring;
    {
        ErrorSlot error;
        keyring.service.reset(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, error.out()));
        if (!keyring.service) {
            throw statusError(error.get(), SecretsError::serviceUnavailable);
        }
    }
    ErrorSlot error;
    if (!name.empty() && name.front() == '/') {
        keyring.collection.reset(secret_collection_new_for_dbus_path_sync(
            keyring.service.get(), name.c_str(), SECRET_COLLECTION_NONE, cancellable, error.out()));
    } else {
        keyring.collection.reset(secret_collection_for_alias_sync(
            keyring.service.get(), name.c_str(), SECRET_COLLECTION_NONE, cancellable, error.out()));
    }
    if (!keyring.collection) {
        // libsecret reports a path without a collection as an unknown method.
        if (!error.get() || g_error_matches(error.get(), SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT) ||
            g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
            g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT)) {
            throw SecretsError::osStatus(SecretsError::noSuchCollection, name);
        }
        throw statusError(error.get(), SecretsError::callFailed);
    }
    if (collectionLocked(keyring.collection.get(), cancellable)) {
        throw SecretsError::osStatus(SecretsError::keyringLocked, "collection " + name);
    }
    return keyring;
}

std::unique_ptr<GHashTable, HashTableUnref> attributesOf(const SecItemQuery& query) {
    return std::unique_ptr<GHashTable, HashTableUnref>(secret_attributes_build(
        &itemSchema(), "service", query.service.c_str(), "account", query.account.c_str(), nullptr));
}

// The matching items: the first one, or all of them with `all`.
std::vector<GObjectPtr<SecretItem>> findItems(const Keyring& keyring, const SecItemQuery& query, bool all,
                                              GCancellable* cancellable) {
    const auto attributes = attributesOf(query);
    ErrorSlot error;
    GList* found =
        secret_collection_search_sync(keyring.collection.get(), &itemSchema(), attributes.get(),
                                      all ? SECRET_SEARCH_ALL : SECRET_SEARCH_NONE, cancellable, error.out());
    if (error.get()) {
        g_list_free_full(found, g_object_unref);
        throw statusError(error.get(), SecretsError::callFailed);
    }
    std::vector<GObjectPtr<SecretItem>> items;
    for (GList* node = found; node; node = node->next) {
        items.emplace_back(static_cast<SecretItem*>(node->data));
    }
    g_list_free(found);
    for (const auto& item : items) {
        // An unlocked collection can still hold a locked item; its secret is
        // unreadable, which must not pass for "absent".
        if (secret_item_get_locked(item.get())) {
            throw SecretsError::osStatus(SecretsError::keyringLocked, "item " + query.account);
        }
    }
    return items;
}

std::unique_ptr<SecretValue, SecretValueUnref> secretOf(ByteView data) {
    // libsecret reads `length` bytes; an empty span may have no pointer at all.
    const char* bytes = data.empty() ? "" : reinterpret_cast<const char*>(data.data());
    return std::unique_ptr<SecretValue, SecretValueUnref>(
        secret_value_new(bytes, static_cast<gssize>(data.size()), LibsecretItemStore::contentType));
}

} // namespace

LibsecretItemStore::LibsecretItemStore(std::string collection, DeadlineCall::Clock::duration deadline)
    : collection_(std::move(collection)), call_(deadline) {}

void LibsecretItemStore::add(const SecItemQuery& query, ByteView data) {
    call_.run([collection = collection_, query,
               bytes = Bytes(data.begin(), data.end())](GCancellable* cancellable) {
        const Keyring keyring = openKeyring(collection, cancellable);
        if (!findItems(keyring, query, false, cancellable).empty()) {
            throw SecretsError::osStatus(SecretsError::duplicateItem);
        }
        const auto attributes = attributesOf(query);
        const auto value = secretOf(bytes);
        const std::string label = query.service + " (" + query.account + ")";
        ErrorSlot error;
        const GObjectPtr<SecretItem> item(
            secret_item_create_sync(keyring.collection.get(), &itemSchema(), attributes.get(), label.c_str(),
                                    value.get(), SECRET_ITEM_CREATE_NONE, cancellable, error.out()));
        if (!item) {
            throw statusError(error.get(), SecretsError::callFailed);
        }
    });
}

std::optional<Bytes> LibsecretItemStore::copyData(const SecItemQuery& query) {
    return call_.run<std::optional<Bytes>>(
        [collection = collection_, query](GCancellable* cancellable) -> std::optional<Bytes> {
            const Keyring keyring = openKeyring(collection, cancellable);
            const auto items = findItems(keyring, query, false, cancellable);
            if (items.empty()) {
                return std::nullopt;
            }
            SecretItem* item = items.front().get();
            ErrorSlot error;
            if (!secret_item_load_secret_sync(item, cancellable, error.out())) {
                throw statusError(error.get(), SecretsError::callFailed);
            }
            const std::unique_ptr<SecretValue, SecretValueUnref> value(secret_item_get_secret(item));
            if (!value) {
                throw SecretsError::osStatus(SecretsError::protocolError, "item without a secret");
            }
            gsize length = 0;
            const gchar* bytes = secret_value_get(value.get(), &length);
            const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
            return Bytes(begin, begin + length);
        });
}

void LibsecretItemStore::update(const SecItemQuery& query, ByteView data) {
    call_.run([collection = collection_, query,
               bytes = Bytes(data.begin(), data.end())](GCancellable* cancellable) {
        const Keyring keyring = openKeyring(collection, cancellable);
        const auto items = findItems(keyring, query, true, cancellable);
        if (items.empty()) {
            throw SecretsError::osStatus(SecretsError::itemNotFound);
        }
        const auto value = secretOf(bytes);
        for (const auto& item : items) {
            ErrorSlot error;
            if (!secret_item_set_secret_sync(item.get(), value.get(), cancellable, error.out())) {
                throw statusError(error.get(), SecretsError::callFailed);
            }
        }
    });
}

void LibsecretItemStore::deleteItems(const SecItemQuery& query) {
    call_.run([collection = collection_, query](GCancellable* cancellable) {
        const Keyring keyring = openKeyring(collection, cancellable);
        for (const auto& item : findItems(keyring, query, true, cancellable)) {
            ErrorSlot error;
            // An item deleted meanwhile by someone else is as good as deleted.
            if (!secret_item_delete_sync(item.get(), cancellable, error.out()) &&
                !g_error_matches(error.get(), SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT)) {
                throw statusError(error.get(), SecretsError::callFailed);
            }
        }
    });
}

} // namespace zoq
