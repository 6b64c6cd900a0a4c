#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace zoq {

/// Streaming SHA-256 over OpenSSL's EVP interface (SHA-NI where the CPU has it).
///
/// Copyable: a copy continues from the same state, which lets a caller keep the
/// digest of a growing file's prefix and extend it without re-reading.
/// Not thread-safe; one object per thread.
class SHA256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    SHA256();
    SHA256(const SHA256& other);
    SHA256& operator=(const SHA256& other);
    SHA256(SHA256&& other) noexcept;
    SHA256& operator=(SHA256&& other) noexcept;
    ~SHA256();

    void update(ByteView bytes);
    void update(std::string_view text) { update(viewOf(text)); }

    /// The digest of everything so far. The state is left untouched, so the
    /// caller may keep updating.
    Digest digest() const;
    /// `digest()` as 64 lower-case hexadecimal digits.
    std::string hexDigest() const;

    /// One-shot helpers.
    static std::string hex(ByteView bytes);
    static std::string hex(std::string_view text) { return hex(viewOf(text)); }
    /// Lower-case hexadecimal of arbitrary bytes ("%02x" each, no separators).
    static std::string hexOf(ByteView bytes);

private:
    evp_md_ctx_st* context_;
};

} // namespace zoq
