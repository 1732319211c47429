#pragma once

#include "identity/keychain/KeychainQuery.h"

#include <expected>
#include <optional>
#include <string_view>

namespace parlomatic::identity {

// Where the credentials manager keeps its archive. Implementations are thread-safe.
class CredentialsStorage {
public:
    virtual ~CredentialsStorage() = default;

    // The storage could not be asked (not running, locked): whether an entry exists is not known.
    struct Unreachable {};

    // The bytes stored under the key; nothing when absent or unreadable.
    virtual std::optional<Bytes> getEntry(std::string_view key) = 0;
    // The bytes stored under the key, nothing when it is absent, or Unreachable. A storage that
    // cannot tell the two apart answers as getEntry().
    virtual std::expected<std::optional<Bytes>, Unreachable> readEntry(std::string_view key) { return getEntry(key); }
    virtual bool setEntry(const Bytes& data, std::string_view key) = 0;
    virtual bool deleteEntry(std::string_view key) = 0;
};

} // namespace parlomatic::identity
