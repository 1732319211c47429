#pragma once

#include "common/Clock.h"
#include "identity/Authentication.h"
#include "identity/Credentials.h"
#include "identity/CredentialsManagerError.h"
#include "identity/CredentialsStorage.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace parlomatic::identity {

// Keeps the signed-in user's token set in a storage and hands out credentials that are good for
// long enough, renewing them with the refresh token when needed.
//
// Retrievals (credentials(), renew()), revoke(), store() and clear() run one at a time from start
// to result, network renewal included: across threads of the process, and across processes of the
// user through an exclusive lock on a file in the runtime directory. A refresh token that the
// service rotates must never be used twice, or the whole grant is revoked; and a sign-in or
// sign-out that comes during a renewal waits for it, so the renewal's older tokens never land over
// it. They block the calling thread (a renewal up to its network time-out), so call them from
// worker threads. canRenew() and hasValid() neither wait nor take the lock.
//
// Nothing is cached: every operation reads the storage afresh. A failed renewal never touches the
// stored set, and a renewal never writes over a set that another writer cleared or replaced while
// it ran.
class CredentialsManager {
public:
    using Result = std::expected<Credentials, CredentialsManagerError>;

    // `clock` must outlive the manager. `lockFile` defaults to defaultLockFile(storeKey).
    CredentialsManager(std::shared_ptr<Authentication> authentication, std::string storeKey,
                       std::shared_ptr<CredentialsStorage> storage, const Clock& clock = systemClock(),
                       std::optional<std::filesystem::path> lockFile = std::nullopt);

    // $XDG_RUNTIME_DIR/parlomatic-<storeKey>.lock. Without a runtime directory (unset or not an
    // absolute path) the same name in <temporary folder>/parlomatic-<uid>, which is created with
    // mode 0700 and used only while it is the user's own and closed to others; else empty, and
    // retrievals are then serialised within the process only. A lock file that is not the user's
    // own is never used.
    static std::filesystem::path defaultLockFile(const std::string& storeKey);

    // What the store holds now.
    enum class Stored { nothing, renewable, unreachable };
    // How a sign-out ended: with the set gone, or with the store unreachable (call again later).
    enum class SignOut { done, storeUnreachable };

    // Archives and writes the set; false when that failed.
    bool store(const Credentials& credentials);
    // Deletes the stored set; false when there was none or deleting failed.
    bool clear();
    // A stored set exists, reads, and holds a refresh token.
    bool canRenew() const;
    // canRenew(), telling a store that could not be read apart from one without a renewable set.
    Stored stored() const;
    // A stored set exists whose access token neither has expired nor expires within minTTL seconds.
    bool hasValid(std::int64_t minTTL = 0) const;

    // The stored set when its access token is not expired, lives at least minTTL more seconds and
    // the requested scope has the same words (in any order and case); else a renewed set, which
    // replaces the stored one. The renewal keeps the old refresh token when the service sends none.
    // A renewed set that lives less than minTTL fails with largeMinTTL; it is still stored when it
    // brought a new refresh token, because the service has retired the old one.
    Result credentials(const std::optional<std::string>& scope = std::nullopt, std::int64_t minTTL = 0,
                       const nlohmann::json& parameters = nlohmann::json::object(), const Headers& headers = {});
    // Renews whatever the stored set's state.
    Result renew(const nlohmann::json& parameters = nlohmann::json::object(), const Headers& headers = {});
    // Revokes the stored refresh token at the service, then clears the store. A stored set without
    // refresh token is only cleared; with no (readable) stored set it succeeds at once.
    std::expected<void, CredentialsManagerError> revoke(const Headers& headers = {});
    // Ends the session for good: revokes the stored refresh token at the service, so that no copy
    // of it works any more, then deletes the set. A revocation that fails (service unreachable) is
    // logged and the set deleted all the same; a store that cannot be read or written is reported.
    SignOut signOut(const Headers& headers = {});

    const std::string& storeKey() const { return m_storeKey; }

private:
    Result retrieve(const std::optional<std::string>& scope, std::int64_t minTTL, const nlohmann::json& parameters,
                    const Headers& headers, bool force);
    std::optional<Credentials> readStored() const;
    std::optional<Credentials> unarchive(const Bytes& bytes) const;
    // Writes the renewed set over `original`: noCredentials when the stored set is gone meanwhile,
    // storeFailed when it was replaced or writing failed.
    std::optional<CredentialsManagerError> replaceStored(const Bytes& original, const Credentials& next);
    bool write(const Credentials& credentials);

    std::shared_ptr<Authentication> m_authentication;
    std::string m_storeKey;
    std::shared_ptr<CredentialsStorage> m_storage;
    const Clock* m_clock;
    std::filesystem::path m_lockFile;
    std::mutex m_retrievalMutex;
};

} // namespace parlomatic::identity
