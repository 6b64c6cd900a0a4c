#pragma once

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace zoq::test {

/// Why the test keyring (tests/with-keyring) is not available, or none.
std::optional<std::string> keyringMissing();
/// True when CTest runs the test (it sets ZOQ_SOURCE_DIR), false by hand.
bool runByCTest();

/// First statement of every test that needs the real keyring: under CTest a
/// missing test keyring is a failure (./dev test always provides one); run by
/// hand, the test is skipped with the reason.
#define ZOQ_REQUIRE_KEYRING()                                                                                \
    do {                                                                                                     \
        if (const auto zoqWhyMissing = ::zoq::test::keyringMissing()) {                                      \
            if (::zoq::test::runByCTest()) {                                                                 \
                FAIL() << *zoqWhyMissing;                                                                    \
            }                                                                                                \
            GTEST_SKIP() << *zoqWhyMissing;                                                                  \
        }                                                                                                    \
    } while (false)

/// A service name no other test (or test process) uses.
std::string uniqueService();

/// A keyring collection of its own, created with a known password through
/// gnome-keyring's password interface (no prompt), which a test may lock and
/// unlock without disturbing the login collection other tests use. Deleted on
/// destruction. Throws std::runtime_error when the keyring refuses.
class TestCollection {
public:
    explicit TestCollection(std::string password);
    ~TestCollection();
    TestCollection(const TestCollection&) = delete;
    TestCollection& operator=(const TestCollection&) = delete;

    /// The collection's D-Bus object path.
    const std::string& path() const { return path_; }
    void lock();
    void unlock();

private:
    std::string password_;
    std::string path_;
};

} // namespace zoq::test
