#include "ZoqCore/Wire/UploadCreateRequest.h"

#include "ZoqCore/Support/CoreError.h"

#include <algorithm>
#include <cctype>

namespace zoq {

UploadCreateRequest::UploadCreateRequest(const WireDocument& document) : WireModel(document) {
    if (this->document().schema() != schema) {
        throw CoreError::invalid("schema");
    }
}

std::string UploadCreateRequest::idempotencyKey() const {
    std::string device = deviceId();
    std::transform(device.begin(), device.end(), device.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return sha256() + ":" + device;
}

} // namespace zoq
