#pragma once

#include "identity/keychain/KeychainQuery.h"

#include <optional>
#include <string>

namespace parlomatic::identity {

// A failed keychain operation: the platform status it came from, or a result of the wrong type.
struct KeychainError {
    enum class Code {
        operationNotImplemented,
        invalidParameters,
        userCanceled,
        itemNotAvailable,
        authFailed,
        duplicateItem,
        itemNotFound,
        interactionNotAllowed,
        decodeFailed,
        other,   // `status` holds the status
        unknown, // `message` holds what went wrong
    };

    Code code = Code::unknown;
    OSStatus status = 0;
    std::string message;

    // The error for a non-zero status; statuses without a case of their own become `other`.
    static KeychainError fromStatus(OSStatus status);
    static KeychainError unknown(std::string message);

    std::string description() const;

    // Equal when the codes and their payloads are equal.
    bool operator==(const KeychainError& other) const;
};

} // namespace parlomatic::identity
