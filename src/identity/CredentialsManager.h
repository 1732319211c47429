#pragma once

#include "common/Clock.h"
#include "identity/Authentication.h"
#include "identity/Credentials.h"
#include "identity/CredentialsManagerError.h"
#include "identity/CredentialsStorage.h"

#include <atomic>
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
// Every operation reads the storage afresh, except while a set is unsaved: a set that a sign-in or
// a renewal brought and the storage did not take (it did not answer, or cannot be used here). The
// manager then holds it in memory and uses it in place of the stored one (whose refresh token the
// service may have retired), and every later operation first tries to write it; the process loses
// it when it ends. A failed renewal never touches the stored set, and a renewal never writes over a
// set that another writer cleared or replaced while it ran.
class CredentialsManager {
public:
    using Result = std::expected<Credentials, CredentialsManagerError>;
    using StorageFailure = CredentialsStorage::Failure;

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

    // What the store (or the unsaved set) holds now.
    enum class Stored { nothing, renewable, unreachable, unusable };
    // How a sign-out ended: with the set gone, or with the store not answering or not usable (call
    // again later).
    enum class SignOut { done, storeUnreachable, storeUnusable };

    // Archives and writes the set (a sign-in's). When the storage does not take it, the set is kept
    // unsaved and the failure returned.
    std::expected<void, StorageFailure> store(const Credentials& credentials);
    // How many sets store() was given so far.
    std::uint64_t storeCount() const { return m_storeCount.load(); }
    // Tries to write the unsaved set; succeeds at once when there is none. A stored set that another
    // writer cleared or replaced since the renewal that brought it wins: the unsaved set is dropped.
    std::expected<void, StorageFailure> saveUnsaved();
    bool hasUnsaved() const;
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
    // Ends the session for good: revokes its refresh token (the unsaved set's, else the stored
    // one's) at the service, so that no copy of it works any more, then deletes the stored set. A
    // revocation that fails (service unreachable) is logged and the set deleted all the same; a
    // store that cannot be read or written is reported. Given the storeCount() at the time the user
    // signed out, a set that store() was given since is left alone: only an older set still in the
    // storage beneath an unsaved one is deleted.
    SignOut signOut(const Headers& headers = {}, std::optional<std::uint64_t> storesAtSignOut = std::nullopt);

    const std::string& storeKey() const { return m_storeKey; }

private:
    Result retrieve(const std::optional<std::string>& scope, std::int64_t minTTL, const nlohmann::json& parameters,
                    const Headers& headers, bool force);
    struct Unsaved {
        Credentials credentials;
        std::optional<Bytes> replaces; // the stored archive it may be written over; none: any
    };

    std::optional<Credentials> readStored() const;
    std::optional<Credentials> unarchive(const Bytes& bytes) const;
    std::optional<Unsaved> unsaved() const;
    void setUnsaved(std::optional<Unsaved> unsaved);
    // saveUnsaved() with the locks held.
    std::expected<void, StorageFailure> writeUnsaved();
    // Writes the renewed set over `original`: noCredentials when the stored set is gone meanwhile,
    // storeFailed when it was replaced; a storage that cannot be read or written keeps it unsaved.
    std::optional<CredentialsManagerError> replaceStored(const Bytes& original, const Credentials& next);
    std::expected<void, StorageFailure> write(const Credentials& credentials);
    SignOut signOutFailure(const StorageFailure& failure) const;

    std::shared_ptr<Authentication> m_authentication;
    std::string m_storeKey;
    std::shared_ptr<CredentialsStorage> m_storage;
    const Clock* m_clock;
    std::filesystem::path m_lockFile;
    std::mutex m_retrievalMutex;
    // Guards m_unsaved alone, so that canRenew() and stored() never wait for a renewal.
    mutable std::mutex m_unsavedMutex;
    std::optional<Unsaved> m_unsaved;
    std::atomic<std::uint64_t> m_storeCount{0};
};

} // namespace parlomatic::identity
