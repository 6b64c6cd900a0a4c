#pragma once

#include <string_view>

struct pcre2_real_code_8;

namespace zoq {

/// One anchored regular expression of the wire rules, compiled once with PCRE2
/// (JIT where the platform has it) and matched on the bytes of the subject.
///
/// Patterns compile without UTF mode on purpose: every wire pattern is ASCII,
/// so a non-ASCII byte can never match a class and no Unicode case folding
/// can smuggle a look-alike character past "(?i)".
///
/// Thread-safe: the compiled code is shared read-only; match data is per thread.
class WirePattern {
public:
    /// Throws `std::logic_error` when `pattern` does not compile (a programming error).
    explicit WirePattern(std::string_view pattern);
    ~WirePattern();
    WirePattern(const WirePattern&) = delete;
    WirePattern& operator=(const WirePattern&) = delete;

    /// Whether the pattern matches `subject` (patterns carry their own \A and \z).
    /// A subject too large for the matcher's resource limits does not match.
    bool matches(std::string_view subject) const noexcept;

    // The named patterns of the wire, each compiled on first use.
    static const WirePattern& sha256Hex();
    static const WirePattern& uuid();
    static const WirePattern& pairingCode();
    static const WirePattern& redemptionNonce();
    static const WirePattern& idempotencyKey();
    static const WirePattern& timestamp();

private:
    pcre2_real_code_8* code_;
};

} // namespace zoq
