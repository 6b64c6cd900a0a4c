#include "ZoqCaptureEngine/AttributionResolver.h"

namespace zoq {

AttributionResolver::AttributionResolver(int maxDepth) : maxDepth_(maxDepth) {}

std::string AttributionResolver::attributedBundleID(const AudioClientIdentity& client) const {
    if (!client.verifiedAppId.empty()) {
        return client.verifiedAppId;
    }
    if (!client.applicationId.empty()) {
        return client.applicationId;
    }
    const std::string& binary = client.processBinary;
    return binary.substr(binary.find_last_of('/') + 1);
}

} // namespace zoq
