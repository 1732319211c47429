#include "identity/keychain/KeychainError.h"

#include <array>
#include <utility>

namespace parlomatic::identity {
namespace {

struct Mapping {
    OSStatus status;
    KeychainError::Code code;
    const char* description;
};

constexpr std::array<Mapping, 9> mappings{{
    {errSecUnimplemented, KeychainError::Code::operationNotImplemented,
     "errSecUnimplemented: A function or operation is not implemented."},
    {errSecParam, KeychainError::Code::invalidParameters,
     "errSecParam: One or more parameters passed to the function are not valid."},
    {errSecUserCanceled, KeychainError::Code::userCanceled, "errSecUserCanceled: User canceled the operation."},
    {errSecNotAvailable, KeychainError::Code::itemNotAvailable, "errSecNotAvailable: No trust results are available."},
    {errSecAuthFailed, KeychainError::Code::authFailed,
     "errSecAuthFailed: Authorization and/or authentication failed."},
    {errSecDuplicateItem, KeychainError::Code::duplicateItem, "errSecDuplicateItem: The item already exists."},
    {errSecItemNotFound, KeychainError::Code::itemNotFound, "errSecItemNotFound: The item cannot be found."},
    {errSecInteractionNotAllowed, KeychainError::Code::interactionNotAllowed,
     "errSecInteractionNotAllowed: Interaction with the Security Server is not allowed."},
    {errSecDecode, KeychainError::Code::decodeFailed, "errSecDecode: Unable to decode the provided data."},
}};

} // namespace

KeychainError KeychainError::fromStatus(OSStatus status)
{
    for (const auto& mapping : mappings) {
        if (mapping.status == status) {
            return {mapping.code, status, {}};
        }
    }
    return {Code::other, status, {}};
}

KeychainError KeychainError::unknown(std::string message)
{
    return {Code::unknown, 0, std::move(message)};
}

std::string KeychainError::description() const
{
    if (code == Code::other) {
        return "Unspecified Keychain error: " + std::to_string(status) + ".";
    }
    if (code == Code::unknown) {
        return "Unknown error: " + message + ".";
    }
    for (const auto& mapping : mappings) {
        if (mapping.code == code) {
            return mapping.description;
        }
    }
    return {};
}

bool KeychainError::operator==(const KeychainError& other) const
{
    if (code != other.code) {
        return false;
    }
    if (code == Code::other) {
        return status == other.status;
    }
    if (code == Code::unknown) {
        return message == other.message;
    }
    return true;
}

} // namespace parlomatic::identity
