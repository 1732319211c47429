#pragma once

#include "identity/keychain/KeychainQuery.h"

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace parlomatic::identity {

// Where the credentials manager keeps its archive. Implementations are thread-safe.
class CredentialsStorage {
public:
    virtual ~CredentialsStorage() = default;

    // Why the storage could not be used.
    struct Failure {
        enum class Kind {
            // There is no working store here (none running, no collection, locked, an entry that
            // cannot be decoded): waiting will not change that.
            unusable,
            // The store did not answer this time: whether an entry exists is not known.
            unreachable,
        };
        Kind kind = Kind::unreachable;
        std::string reason; // for the user; never holds a secret
    };

    // The bytes stored under the key; nothing when absent or unreadable.
    virtual std::optional<Bytes> getEntry(std::string_view key) = 0;
    // The bytes stored under the key, nothing when it is absent, or why it could not be read. A
    // storage that cannot tell absent from unreadable answers as getEntry().
    virtual std::expected<std::optional<Bytes>, Failure> readEntry(std::string_view key) { return getEntry(key); }
    virtual bool setEntry(const Bytes& data, std::string_view key) = 0;
    // setEntry(), saying why it failed.
    virtual std::expected<void, Failure> writeEntry(const Bytes& data, std::string_view key)
    {
        if (setEntry(data, key)) {
            return {};
        }
        return std::unexpected(Failure{Failure::Kind::unreachable, "the store did not take the entry"});
    }
    virtual bool deleteEntry(std::string_view key) = 0;
};

} // namespace parlomatic::identity
