#include "ZoqCore/Wire/DeviceCredentialsResponse.h"

#include "ZoqCore/Support/CoreError.h"

namespace zoq {

DeviceCredentialsResponse::DeviceCredentialsResponse(const WireDocument& document) : WireModel(document) {
    if (this->document().schema() != schema) {
        throw CoreError::invalid("schema");
    }
}

} // namespace zoq
