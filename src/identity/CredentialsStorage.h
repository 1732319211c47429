#pragma once

#include "identity/keychain/KeychainQuery.h"

#include <optional>
#include <string_view>

namespace parlomatic::identity {

// Where the credentials manager keeps its archive. Implementations are thread-safe.
class CredentialsStorage {
public:
    virtual ~CredentialsStorage() = default;

    // The bytes stored under the key; nothing when absent or unreadable.
    virtual std::optional<Bytes> getEntry(std::string_view key) = 0;
    virtual bool setEntry(const Bytes& data, std::string_view key) = 0;
    virtual bool deleteEntry(std::string_view key) = 0;
};

} // namespace parlomatic::identity
