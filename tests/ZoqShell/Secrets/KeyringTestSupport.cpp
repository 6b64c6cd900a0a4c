#include "tests/ZoqShell/Secrets/KeyringTestSupport.h"

#include <cstdlib>
#include <gio/gio.h>
#include <memory>
#include <stdexcept>
#include <unistd.h>

namespace zoq::test {
namespace {

constexpr const char* secretsName = "org.freedesktop.secrets";
constexpr const char* servicePath = "/org/freedesktop/secrets";
constexpr const char* serviceInterface = "org.freedesktop.Secret.Service";
// gnome-keyring's interface for creating and unlocking collections with a
// password supplied by the caller instead of a prompt.
constexpr const char* passwordInterface = "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

struct VariantUnref {
    void operator()(GVariant* value) const noexcept { g_variant_unref(value); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

GDBusConnection* sessionBus() {
    GError* error = nullptr;
    // The shared connection lives for the whole process, like libsecret's.
    static GDBusConnection* const bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        const std::string message = error ? error->message : "no session bus";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    return bus;
}

VariantPtr call(const std::string& path, const char* interface, const char* method, GVariant* arguments,
                const char* replyType) {
    GError* error = nullptr;
    VariantPtr reply(g_dbus_connection_call_sync(sessionBus(), secretsName, path.c_str(), interface, method,
                                                 arguments, G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE,
                                                 10000, nullptr, &error));
    if (!reply) {
        const std::string message = std::string(method) + ": " + (error ? error->message : "failed");
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    return reply;
}

// A secret in the Secret Service wire form, over a "plain" session.
GVariant* plainSecret(const std::string& text) {
    const VariantPtr session = call(servicePath, serviceInterface, "OpenSession",
                                    g_variant_new("(sv)", "plain", g_variant_new_string("")), "(vo)");
    const gchar* sessionPath = nullptr;
    g_variant_get_child(session.get(), 1, "&o", &sessionPath);
    return g_variant_new("(o@ay@ays)", sessionPath, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
                         g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, text.data(), text.size(), 1),
                         "text/plain");
}

} // namespace

std::optional<std::string> keyringMissing() {
    if (!std::getenv("ZOQ_TEST_KEYRING")) {
        return "this test needs the private test keyring: run it through tests/with-keyring "
               "(./dev test does), e.g. tests/with-keyring build/release/tests/ZoqShellTests";
    }
    return std::nullopt;
}

bool runByCTest() {
    return std::getenv("ZOQ_SOURCE_DIR") != nullptr;
}

std::string uniqueService() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("org.zoq.tests.") + info->test_suite_name() + "." + info->name() + "." +
           std::to_string(::getpid());
}

TestCollection::TestCollection(std::string password) : password_(std::move(password)) {
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string(("zoq test " + std::to_string(::getpid())).c_str()));
    const VariantPtr reply =
        call(servicePath, passwordInterface, "CreateWithMasterPassword",
             g_variant_new("(a{sv}@(oayays))", &properties, plainSecret(password_)), "(o)");
    const gchar* created = nullptr;
    g_variant_get(reply.get(), "(&o)", &created);
    path_ = created;
}

TestCollection::~TestCollection() {
    try {
        call(path_, "org.freedesktop.Secret.Collection", "Delete", nullptr, "(o)");
    } catch (const std::exception& error) {
        ADD_FAILURE() << "could not delete test collection " << path_ << ": " << error.what();
    }
}

void TestCollection::lock() {
    const gchar* paths[] = {path_.c_str()};
    call(servicePath, serviceInterface, "Lock", g_variant_new("(@ao)", g_variant_new_objv(paths, 1)),
         "(aoo)");
}

void TestCollection::unlock() {
    call(servicePath, passwordInterface, "UnlockWithMasterPassword",
         g_variant_new("(o@(oayays))", path_.c_str(), plainSecret(password_)), "()");
}

} // namespace zoq::test
