#pragma once

#include "ZoqCore/Upload/WorkerLease.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqCore/Wire/UploadCreateRequest.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace zoq {

/// One request the upload queue wants sent, tied to the lease it was issued
/// under and numbered by the queue object that issued it. The shell turns the
/// operation into an HTTP request and feeds the result back to the queue.
struct UploadCommand {
    /// Ask the portal for an upload of this recording (idempotent by content
    /// hash and device).
    struct Create {
        UploadCreateRequest metadata;
        friend bool operator==(const Create&, const Create&) = default;
    };
    /// Poll the upload's status.
    struct Status {
        std::string uploadId;
        friend bool operator==(const Status&, const Status&) = default;
    };
    /// Open a replacement attempt of the bound upload.
    struct Replacement {
        std::string uploadId;
        friend bool operator==(const Replacement&, const Replacement&) = default;
    };
    /// Fetch the parts the portal already holds for the attempt.
    struct ObservedParts {
        std::string uploadId;
        std::string attemptId;
        friend bool operator==(const ObservedParts&, const ObservedParts&) = default;
    };
    /// Ask for a signed URL for one part.
    struct SignPart {
        std::string uploadId;
        std::string attemptId;
        std::int64_t number = 0;
        friend bool operator==(const SignPart&, const SignPart&) = default;
    };
    /// Send `count` bytes of `file` from `offset` to the presigned `target`
    /// (the single-mode transfer or a signed part); `partNumber` in multipart
    /// mode only.
    struct Put {
        std::filesystem::path file;
        std::int64_t offset = 0;
        std::int64_t count = 0;
        JSONValue target;
        std::optional<std::int64_t> partNumber;
        friend bool operator==(const Put&, const Put&) = default;
    };
    /// Finish the attempt; `body` is a validated `uploadCompleteRequest`.
    struct Complete {
        std::string uploadId;
        JSONValue body;
        friend bool operator==(const Complete&, const Complete&) = default;
    };

    using Operation = std::variant<Create, Status, Replacement, ObservedParts, SignPart, Put, Complete>;

    WorkerLease lease;
    std::int64_t sequence = 0;
    Operation operation;

    friend bool operator==(const UploadCommand&, const UploadCommand&) = default;
};

} // namespace zoq
