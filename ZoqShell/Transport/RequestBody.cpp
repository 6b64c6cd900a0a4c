#include "ZoqShell/Transport/RequestBody.h"

namespace zoq {

std::int64_t RequestBody::size() const noexcept {
    if (const auto* buffer = bytes()) {
        return static_cast<std::int64_t>(buffer->size());
    }
    if (const auto* range = fileRange()) {
        return range->count();
    }
    return 0;
}

} // namespace zoq
