#include "ZoqCore/Wire/UploadStatusResponse.h"

namespace zoq {

UploadStatusResponse::UploadStatusResponse(const WireDocument& document)
    : WireModel(document.schema() == schema ? document : WireDocument(schema, document.value())) {}

} // namespace zoq
