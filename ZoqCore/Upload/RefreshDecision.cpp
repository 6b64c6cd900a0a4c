#include "ZoqCore/Upload/RefreshDecision.h"

#include "ZoqCore/Support/CoreError.h"

namespace zoq {

std::int64_t RefreshDecision::generation() const {
    if (kind_ != Kind::retryCurrent) {
        throw CoreError::invalidState();
    }
    return generation_;
}

const WireDocument& RefreshDecision::request() const {
    if (kind_ != Kind::send) {
        throw CoreError::invalidState();
    }
    return *request_;
}

const std::string& RefreshDecision::requestId() const {
    if (kind_ != Kind::joined) {
        throw CoreError::invalidState();
    }
    return requestId_;
}

} // namespace zoq
