#pragma once

#include "ZoqCore/Support/CoreError.h"

#include <gtest/gtest.h>
#include <ostream>

namespace zoq {

/// Lets GoogleTest print a `CoreError` as its reason text, `io("rename", 2)`,
/// instead of a byte dump. Found by argument-dependent lookup.
inline void PrintTo(const CoreError& error, std::ostream* out) {
    *out << error.reason();
}

namespace test {

/// Runs `body` and returns the `CoreError` it throws, so a test can compare the
/// whole error: `EXPECT_EQ(caughtError([&] { ... }), CoreError::locked())`.
/// Records a test failure (and returns `invalidState`) if nothing is thrown;
/// any other exception propagates and fails the test.
template <typename Body>
CoreError caughtError(Body&& body) {
    try {
        body();
    } catch (const CoreError& error) {
        return error;
    }
    ADD_FAILURE() << "expected a CoreError, nothing was thrown";
    return CoreError::invalidState();
}

} // namespace test
} // namespace zoq
