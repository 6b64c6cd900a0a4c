#include "ZoqShell/Secrets/KeychainSecrets.h"
#include "ZoqShell/Secrets/LibsecretItemStore.h"
#include "ZoqShell/Secrets/SecretsError.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/ZoqShell/Secrets/KeyringTestSupport.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zoq {
namespace {

// The status an operation throws, or 0 when it succeeds.
std::int32_t statusOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const SecretsError& error) {
        return error.status();
    }
    return 0;
}

Bytes everyByte() {
    Bytes blob;
    for (int i = 0; i < 256; ++i) {
        blob.push_back(static_cast<std::uint8_t>(i));
    }
    blob.push_back(0x00);
    blob.push_back(0xFF);
    return blob;
}

// Against the private gnome-keyring of tests/with-keyring, in its login
// collection. Each test uses a service name of its own.
class LibsecretItemStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ZOQ_REQUIRE_KEYRING(); }
    void TearDown() override {
        if (!test::keyringMissing()) {
            store.deleteItems(query);
            store.deleteItems(staging);
        }
    }

    LibsecretItemStore store;
    const std::string service = test::uniqueService();
    const SecItemQuery query{service, "device-credentials"};
    const SecItemQuery staging{service, "device-credentials.pending-commit"};
};

TEST_F(LibsecretItemStoreTest, ReportsTheKeychainStatusCodes) {
    EXPECT_EQ(store.copyData(query), std::nullopt);
    EXPECT_EQ(statusOf([&] { store.deleteItems(query); }), 0);
    EXPECT_EQ(statusOf([&] { store.update(query, bytesOf("x")); }), SecretsError::itemNotFound);
    EXPECT_EQ(store.copyData(query), std::nullopt);

    store.add(query, bytesOf("first"));
    EXPECT_EQ(statusOf([&] { store.add(query, bytesOf("second")); }), SecretsError::duplicateItem);
    EXPECT_EQ(store.copyData(query), bytesOf("first"));

    store.update(query, bytesOf("updated"));
    EXPECT_EQ(store.copyData(query), bytesOf("updated"));
    EXPECT_EQ(store.copyData(staging), std::nullopt); // the account is matched exactly

    store.deleteItems(query);
    EXPECT_EQ(store.copyData(query), std::nullopt);
}

TEST_F(LibsecretItemStoreTest, BinaryBlobsRoundTripUnchanged) {
    store.add(query, everyByte());
    EXPECT_EQ(store.copyData(query), everyByte());
    store.update(query, Bytes{});
    EXPECT_EQ(store.copyData(query), Bytes{});
    const Bytes large(64 * 1024, 0xFF);
    store.update(query, large);
    EXPECT_EQ(store.copyData(query), large);
}

TEST_F(LibsecretItemStoreTest, KeychainSecretsReplacesAndRollsStagingForward) {
    KeychainSecrets secrets(query.service, query.account, std::make_unique<LibsecretItemStore>());
    EXPECT_EQ(secrets.retrieve(), std::nullopt);
    secrets.store(bytesOf("generation 0"));
    secrets.store(everyByte());
    EXPECT_EQ(secrets.retrieve(), everyByte());
    EXPECT_EQ(store.copyData(staging), std::nullopt);

    // A replace that crashed after adding its staging item.
    store.add(staging, bytesOf("generation 1"));
    EXPECT_EQ(secrets.retrieve(), bytesOf("generation 1"));
    EXPECT_EQ(store.copyData(query), bytesOf("generation 1"));
    EXPECT_EQ(store.copyData(staging), std::nullopt);

    secrets.erase();
    EXPECT_EQ(secrets.retrieve(), std::nullopt);
}

TEST_F(LibsecretItemStoreTest, AMissingCollectionIsAnErrorNotAnEmptyKeyring) {
    LibsecretItemStore elsewhere("zoq-no-such-collection", LibsecretItemStore::defaultDeadline);
    EXPECT_EQ(statusOf([&] { (void)elsewhere.copyData(query); }), SecretsError::noSuchCollection);
    EXPECT_EQ(statusOf([&] { elsewhere.add(query, bytesOf("x")); }), SecretsError::noSuchCollection);
    LibsecretItemStore byPath("/org/freedesktop/secrets/collection/zoq_no_such_collection",
                              LibsecretItemStore::defaultDeadline);
    EXPECT_EQ(statusOf([&] { (void)byPath.copyData(query); }), SecretsError::noSuchCollection);
}

TEST(LibsecretItemStoreLocked, ALockedCollectionIsAnErrorNotNothingStored) {
    ZOQ_REQUIRE_KEYRING();
    test::TestCollection collection("collection password");
    const SecItemQuery query{test::uniqueService(), "device-credentials"};
    LibsecretItemStore store(collection.path(), LibsecretItemStore::defaultDeadline);
    KeychainSecrets secrets(
        query.service, query.account,
        std::make_unique<LibsecretItemStore>(collection.path(), LibsecretItemStore::defaultDeadline));
    secrets.store(bytesOf("stored before locking"));

    collection.lock();
    EXPECT_EQ(statusOf([&] { (void)store.copyData(query); }), SecretsError::keyringLocked);
    EXPECT_EQ(statusOf([&] { store.add(query, bytesOf("x")); }), SecretsError::keyringLocked);
    EXPECT_EQ(statusOf([&] { store.update(query, bytesOf("x")); }), SecretsError::keyringLocked);
    EXPECT_EQ(statusOf([&] { store.deleteItems(query); }), SecretsError::keyringLocked);
    // Where no item exists yet, only the collection's state tells "locked" from "absent".
    const SecItemQuery neverStored{query.service, "never-stored"};
    EXPECT_EQ(statusOf([&] { (void)store.copyData(neverStored); }), SecretsError::keyringLocked);
    EXPECT_EQ(statusOf([&] { store.add(neverStored, bytesOf("x")); }), SecretsError::keyringLocked);
    EXPECT_EQ(statusOf([&] { (void)secrets.retrieve(); }), SecretsError::keyringLocked);
    EXPECT_EQ(statusOf([&] { secrets.store(bytesOf("x")); }), SecretsError::keyringLocked);
    try {
        (void)store.copyData(query);
    } catch (const SecretsError& error) {
        EXPECT_NE(std::strstr(error.what(), "locked"), nullptr) << error.what();
    }

    collection.unlock();
    EXPECT_EQ(secrets.retrieve(), bytesOf("stored before locking"));
}

// Runs LibsecretItemStoreChild.Run in a child process with the given session
// bus address and ZOQ_TEST_CHILD=`mode`: libsecret's connection to the session
// bus is process-wide, so a bus of the test's choosing needs a fresh process.
// Returns whether the child passed its one test; its output goes to `output`.
bool childPasses(const test::TempDirectory& directory, const std::string& busAddress, const std::string& mode,
                 std::string& output) {
    const std::string program = std::filesystem::read_symlink("/proc/self/exe");
    const std::string log = directory / ("child-" + mode + ".log");

    std::vector<std::string> variables;
    const auto replaced = [](const std::string& variable) {
        for (const char* name : {"DBUS_SESSION_BUS_ADDRESS=", "DISPLAY=", "WAYLAND_DISPLAY=",
                                 "XDG_RUNTIME_DIR=", "ZOQ_TEST_CHILD="}) {
            if (variable.starts_with(name)) {
                return true;
            }
        }
        return false;
    };
    for (char** entry = environ; *entry; ++entry) {
        if (!replaced(*entry)) {
            variables.emplace_back(*entry);
        }
    }
    variables.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress);
    variables.push_back("XDG_RUNTIME_DIR=" + directory.path().string());
    variables.push_back("ZOQ_TEST_CHILD=" + mode);
    std::vector<char*> envp;
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=LibsecretItemStoreChild.Run";
    std::vector<char*> argv{const_cast<char*>(program.c_str()), filter.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        output = "posix_spawn failed";
        return false;
    }
    // A child stuck on the keyring is a failure of this test, not a hang.
    int status = 0;
    pid_t reaped = 0;
    for (int tenths = 0; tenths < 600 && (reaped = ::waitpid(child, &status, WNOHANG)) == 0; ++tenths) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (reaped == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    std::ifstream in(log);
    output.assign(std::istreambuf_iterator<char>(in), {});
    if (reaped == 0) {
        output += "\n(child killed after 60 s)";
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           output.find("[  PASSED  ] 1 test") != std::string::npos;
}

// With no Secret Service on the session bus (a headless machine), every
// operation fails with a clear message.
TEST(LibsecretItemStoreWithoutService, FailsClearly) {
    const test::TempDirectory directory;
    std::string output;
    EXPECT_TRUE(childPasses(directory, "unix:path=" + (directory / "no-bus").string(), "noService", output))
        << output;
}

// A session bus that accepts the connection and then never answers stands for
// a frozen keyring: the call is cancelled at its deadline and reports a
// timeout instead of hanging.
TEST(LibsecretItemStoreFrozen, TimesOutAtTheDeadline) {
    const test::TempDirectory directory;
    const std::string socketPath = directory / "frozen-bus";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0); // never accepted: connects succeed, nothing ever answers
    std::string output;
    EXPECT_TRUE(childPasses(directory, "unix:path=" + socketPath, "frozenBus", output)) << output;
    ::close(listener);
}

TEST(LibsecretItemStoreChild, Run) {
    const char* mode = std::getenv("ZOQ_TEST_CHILD");
    if (!mode) {
        GTEST_SKIP() << "runs only as the child process of LibsecretItemStoreWithoutService and "
                        "LibsecretItemStoreFrozen";
    }
    const SecItemQuery query{"org.zoq.tests.child", "device-credentials"};
    if (std::string(mode) == "frozenBus") {
        LibsecretItemStore store(LibsecretItemStore::defaultCollection, std::chrono::milliseconds(200));
        EXPECT_EQ(statusOf([&] { (void)store.copyData(query); }), SecretsError::timedOut);
        EXPECT_EQ(statusOf([&] { store.add(query, bytesOf("x")); }), SecretsError::timedOut);
        return;
    }
    LibsecretItemStore store;
    const std::vector<std::function<void()>> operations{
        [&] { store.add(query, bytesOf("x")); },
        [&] { (void)store.copyData(query); },
        [&] { store.update(query, bytesOf("x")); },
        [&] { store.deleteItems(query); },
    };
    for (const auto& operation : operations) {
        try {
            operation();
            ADD_FAILURE() << "succeeded without a Secret Service";
        } catch (const SecretsError& error) {
            EXPECT_EQ(error.status(), SecretsError::serviceUnavailable) << error.what();
            EXPECT_NE(std::strstr(error.what(), "no Secret Service"), nullptr) << error.what();
        }
    }
}

} // namespace
} // namespace zoq
