#include "ZoqShell/Transport/FileRange.h"

#include "ZoqCore/Support/CoreError.h"

#include <limits>

namespace zoq {

FileRange::FileRange(std::filesystem::path file, std::int64_t offset, std::int64_t count)
    : file_(std::move(file)), offset_(offset), count_(count) {
    if (offset < 0 || count < 0 || offset > std::numeric_limits<std::int64_t>::max() - count) {
        throw CoreError::invalid("file range");
    }
}

} // namespace zoq
