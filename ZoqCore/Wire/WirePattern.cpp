#define PCRE2_CODE_UNIT_WIDTH 8
#include "ZoqCore/Wire/WirePattern.h"

#include <memory>
#include <pcre2.h>
#include <stdexcept>
#include <string>

namespace zoq {
namespace {

// Match data for one ovector pair: enough to learn whether there is a match.
struct MatchData {
    pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
    ~MatchData() { pcre2_match_data_free(data); }
};

pcre2_match_data* threadMatchData() noexcept {
    thread_local MatchData matchData;
    return matchData.data;
}

} // namespace

WirePattern::WirePattern(std::string_view pattern) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), 0, &error, &offset,
                          nullptr);
    if (code_ == nullptr) {
        throw std::logic_error("wire pattern does not compile: " + std::string(pattern));
    }
    // Without JIT support the interpreter runs the same pattern.
    (void)pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
}

WirePattern::~WirePattern() {
    pcre2_code_free(code_);
}

bool WirePattern::matches(std::string_view subject) const noexcept {
    pcre2_match_data* data = threadMatchData();
    if (data == nullptr) {
        return false;
    }
    const auto* text = reinterpret_cast<PCRE2_SPTR>(subject.data());
    int result = pcre2_match(code_, text, subject.size(), 0, 0, data, nullptr);
    if (result == PCRE2_ERROR_JIT_STACKLIMIT) {
        // The JIT stack is small; the interpreter keeps its backtracking on the heap.
        result = pcre2_match(code_, text, subject.size(), 0, PCRE2_NO_JIT, data, nullptr);
    }
    // A ovector too small for the captures reports 0, which is still a match.
    return result >= 0;
}

const WirePattern& WirePattern::sha256Hex() {
    static const WirePattern pattern(R"(\A[0-9a-f]{64}\z)");
    return pattern;
}

const WirePattern& WirePattern::uuid() {
    static const WirePattern pattern(
        R"((?i)\A(?:[0-9a-f]{8}-[0-9a-f]{4}-[1-8][0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}|00000000-0000-0000-0000-000000000000|ffffffff-ffff-ffff-ffff-ffffffffffff)\z)");
    return pattern;
}

const WirePattern& WirePattern::pairingCode() {
    static const WirePattern pattern(
        R"(\A[0-9A-HJKMNP-TV-Za-hjkmnp-tv-z]{4}-?[0-9A-HJKMNP-TV-Za-hjkmnp-tv-z]{4}-?[0-9A-HJKMNP-TV-Za-hjkmnp-tv-z]{4}\z)");
    return pattern;
}

const WirePattern& WirePattern::redemptionNonce() {
    static const WirePattern pattern(R"(\A[A-Za-z0-9_-]{42}[AEIMQUYcgkosw048]\z)");
    return pattern;
}

const WirePattern& WirePattern::idempotencyKey() {
    static const WirePattern pattern(
        R"(\A[0-9a-f]{64}:[0-9a-f]{8}-[0-9a-f]{4}-[1-8][0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\z)");
    return pattern;
}

const WirePattern& WirePattern::timestamp() {
    static const WirePattern pattern(
        R"(\A([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})(?:\.([0-9]+))?(Z|[+-][0-9]{2}:[0-9]{2})\z)");
    return pattern;
}

} // namespace zoq
