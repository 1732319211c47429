#include "identity/CredentialsManager.h"

#include "common/Log.h"
#include "common/UniqueResource.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace parlomatic::identity {
namespace {

std::string systemError()
{
    return std::generic_category().message(errno);
}

// Holds an exclusive flock on the file for its lifetime. Without a lockable file of the user's own
// the process still serialises its own threads; that is logged, and the retrieval goes on.
class ProcessLock {
public:
    explicit ProcessLock(const std::filesystem::path& path)
    {
        if (path.empty()) {
            logError("No private folder for the credentials lock file; retrievals are serialised in this "
                     "process only");
            return;
        }
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd) {
            logError("Unable to open the credentials lock file " + path.string() + ": " + systemError());
            return;
        }
        // A file that another user put there could be held by them for ever.
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0 || info.st_uid != ::geteuid() || !S_ISREG(info.st_mode)) {
            logError("The credentials lock file " + path.string() + " is not the user's own; not using it");
            return;
        }
        while (::flock(fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                logError("Unable to lock the credentials lock file " + path.string() + ": " + systemError());
                break;
            }
        }
        m_fd = std::move(fd);
    }

private:
    UniqueFd m_fd; // closing it releases the lock
};

// A folder of the temporary folder that only this user can enter, created when missing; empty when
// what is there belongs to someone else or is open to others.
std::filesystem::path privateTemporaryFolder()
{
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) {
        base = "/tmp";
    }
    const auto folder = base / ("parlomatic-" + std::to_string(::geteuid()));
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return {};
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0) {
        return {};
    }
    return folder;
}

std::vector<std::string> scopeWords(const std::string& scope)
{
    std::string lower = scope;
    std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::istringstream stream(lower);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) {
        words.push_back(std::move(word));
    }
    std::ranges::sort(words);
    return words;
}

bool scopeChanged(const std::optional<std::string>& requested, const std::optional<std::string>& stored)
{
    return requested && stored && scopeWords(*requested) != scopeWords(*stored);
}

} // namespace

CredentialsManager::CredentialsManager(std::shared_ptr<Authentication> authentication, std::string storeKey,
                                       std::shared_ptr<CredentialsStorage> storage, const Clock& clock,
                                       std::optional<std::filesystem::path> lockFile)
    : m_authentication(std::move(authentication)), m_storeKey(std::move(storeKey)), m_storage(std::move(storage)),
      m_clock(&clock), m_lockFile(lockFile ? std::move(*lockFile) : defaultLockFile(m_storeKey))
{}

std::filesystem::path CredentialsManager::defaultLockFile(const std::string& storeKey)
{
    std::string name = "parlomatic-" + storeKey + ".lock";
    std::ranges::replace(name, '/', '_');
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && std::filesystem::path(runtime).is_absolute()) {
        return std::filesystem::path(runtime) / name;
    }
    // A shared folder such as /tmp would let another user create the file first and hold the lock.
    const auto folder = privateTemporaryFolder();
    return folder.empty() ? folder : folder / name;
}

std::expected<void, CredentialsManager::StorageFailure> CredentialsManager::write(const Credentials& credentials)
{
    const std::string archive = credentials.archive();
    return m_storage->writeEntry(Bytes(archive.begin(), archive.end()), m_storeKey);
}

std::optional<CredentialsManager::Unsaved> CredentialsManager::unsaved() const
{
    const std::lock_guard lock(m_unsavedMutex);
    return m_unsaved;
}

void CredentialsManager::setUnsaved(std::optional<Unsaved> unsaved)
{
    const std::lock_guard lock(m_unsavedMutex);
    m_unsaved = std::move(unsaved);
}

bool CredentialsManager::hasUnsaved() const
{
    const std::lock_guard lock(m_unsavedMutex);
    return m_unsaved.has_value();
}

std::expected<void, CredentialsManager::StorageFailure> CredentialsManager::store(const Credentials& credentials)
{
    const std::lock_guard threads(m_retrievalMutex);
    const ProcessLock processes(m_lockFile);
    ++m_storeCount;
    auto written = write(credentials);
    // A sign-in's set goes over whatever the storage holds once it answers.
    setUnsaved(written ? std::nullopt : std::optional<Unsaved>(Unsaved{credentials, std::nullopt}));
    return written;
}

std::expected<void, CredentialsManager::StorageFailure> CredentialsManager::saveUnsaved()
{
    const std::lock_guard threads(m_retrievalMutex);
    const ProcessLock processes(m_lockFile);
    return writeUnsaved();
}

std::expected<void, CredentialsManager::StorageFailure> CredentialsManager::writeUnsaved()
{
    const auto pending = unsaved();
    if (!pending) {
        return {};
    }
    if (pending->replaces) {
        const auto read = m_storage->readEntry(m_storeKey);
        if (!read) {
            return std::unexpected(read.error());
        }
        if (*read != pending->replaces) {
            logError(
                "The stored credentials changed while the renewed ones waited for the keyring; keeping the stored");
            setUnsaved(std::nullopt);
            return {};
        }
    }
    if (auto written = write(pending->credentials); !written) {
        return written;
    }
    setUnsaved(std::nullopt);
    return {};
}

bool CredentialsManager::clear()
{
    const std::lock_guard threads(m_retrievalMutex);
    const ProcessLock processes(m_lockFile);
    setUnsaved(std::nullopt);
    return m_storage->deleteEntry(m_storeKey);
}

std::optional<Credentials> CredentialsManager::unarchive(const Bytes& bytes) const
{
    return Credentials::unarchive(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                                  m_clock->now());
}

std::optional<Credentials> CredentialsManager::readStored() const
{
    if (auto pending = unsaved()) {
        return std::move(pending->credentials);
    }
    const auto bytes = m_storage->getEntry(m_storeKey);
    return bytes ? unarchive(*bytes) : std::nullopt;
}

bool CredentialsManager::canRenew() const
{
    const auto stored = readStored();
    return stored && stored->refreshToken().has_value();
}

CredentialsManager::Stored CredentialsManager::stored() const
{
    if (const auto pending = unsaved()) {
        return pending->credentials.refreshToken() ? Stored::renewable : Stored::nothing;
    }
    const auto read = m_storage->readEntry(m_storeKey);
    if (!read) {
        return read.error().kind == StorageFailure::Kind::unusable ? Stored::unusable : Stored::unreachable;
    }
    const auto credentials = *read ? unarchive(**read) : std::nullopt;
    return credentials && credentials->refreshToken() ? Stored::renewable : Stored::nothing;
}

bool CredentialsManager::hasValid(std::int64_t minTTL) const
{
    const auto stored = readStored();
    if (!stored) {
        return false;
    }
    const double now = m_clock->now();
    return !(stored->expiresIn() < now) && !(stored->expiresIn() < now + static_cast<double>(minTTL));
}

CredentialsManager::Result CredentialsManager::credentials(const std::optional<std::string>& scope, std::int64_t minTTL,
                                                           const nlohmann::json& parameters, const Headers& headers)
{
    return retrieve(scope, minTTL, parameters, headers, false);
}

CredentialsManager::Result CredentialsManager::renew(const nlohmann::json& parameters, const Headers& headers)
{
    return retrieve(std::nullopt, 0, parameters, headers, true);
}

CredentialsManager::Result CredentialsManager::retrieve(const std::optional<std::string>& scope, std::int64_t minTTL,
                                                        const nlohmann::json& parameters, const Headers& headers,
                                                        bool force)
{
    const std::lock_guard threads(m_retrievalMutex);
    const ProcessLock processes(m_lockFile);

    // An unsaved set is the live one: the stored set may hold a refresh token already retired.
    std::ignore = writeUnsaved();
    const auto pending = unsaved();
    std::optional<Bytes> archive;
    std::optional<Credentials> stored;
    if (pending) {
        stored = pending->credentials;
    } else {
        // Read under the lock: another retrieval may just have stored a renewed set.
        auto read = m_storage->readEntry(m_storeKey);
        if (!read) {
            // Whether a set is stored is not known; the caller decides from stored().
            return std::unexpected(CredentialsManagerError(CredentialsManagerError::Code::storeUnreachable));
        }
        archive = std::move(*read);
        stored = archive ? unarchive(*archive) : std::nullopt;
    }
    if (!stored) {
        return std::unexpected(CredentialsManagerError(CredentialsManagerError::Code::noCredentials));
    }
    const double now = m_clock->now();
    if (!force && !(stored->expiresIn() < now) && !(stored->expiresIn() < now + static_cast<double>(minTTL)) &&
        !scopeChanged(scope, stored->scope())) {
        return *stored;
    }
    if (!stored->refreshToken()) {
        return std::unexpected(CredentialsManagerError(CredentialsManagerError::Code::noRefreshToken));
    }
    auto renewed =
        m_authentication->renewTokens(*stored->refreshToken(), scope).parameters(parameters).headers(headers).start();
    if (!renewed) {
        return std::unexpected(
            CredentialsManagerError(CredentialsManagerError::Code::renewFailed, std::move(renewed.error())));
    }
    const bool rotated = renewed->refreshToken().has_value();
    Credentials next = rotated ? std::move(*renewed) : renewed->withRefreshToken(stored->refreshToken());
    // The renewal's answer is never lost: the service may have retired the refresh token it was
    // given, so that only the new set can renew again.
    const auto keep = [&]() -> std::optional<CredentialsManagerError> {
        if (pending) {
            setUnsaved(Unsaved{next, pending->replaces});
            std::ignore = writeUnsaved();
            return std::nullopt;
        }
        return replaceStored(*archive, next);
    };
    const double after = m_clock->now();
    if (next.expiresIn() < after + static_cast<double>(minTTL)) {
        // A service that rotates refresh tokens has retired the stored one by now: dropping the new
        // one would leave only a token whose reuse revokes the whole grant.
        if (rotated && keep()) {
            logError("Unable to store the renewed credentials");
        }
        // Clamped: a service may send any number, and the conversion must stay defined.
        const double seconds = std::clamp(std::trunc(next.expiresIn() - after), -9.0e18, 9.0e18);
        const auto lifetime = static_cast<std::int64_t>(seconds);
        return std::unexpected(CredentialsManagerError::largeMinTTL(minTTL, lifetime));
    }
    if (auto error = keep()) {
        return std::unexpected(std::move(*error));
    }
    return next;
}

std::optional<CredentialsManagerError> CredentialsManager::replaceStored(const Bytes& original, const Credentials& next)
{
    // Writers that bypass the lock (another program on the same keyring entry) may have ended the
    // grant meanwhile; the renewal must not undo that.
    const auto current = m_storage->readEntry(m_storeKey);
    if (current && !*current) {
        return CredentialsManagerError(CredentialsManagerError::Code::noCredentials);
    }
    if (current && **current != original) {
        return CredentialsManagerError(CredentialsManagerError::Code::storeFailed);
    }
    if (!current || !write(next)) {
        logError("The keyring did not take the renewed credentials; they are kept until it does");
        setUnsaved(Unsaved{next, original});
    }
    return std::nullopt;
}

std::expected<void, CredentialsManagerError> CredentialsManager::revoke(const Headers& headers)
{
    const std::lock_guard threads(m_retrievalMutex);
    const ProcessLock processes(m_lockFile);

    // Revocation only ever ends in success or revokeFailed: with nothing stored, no token is left.
    const auto stored = readStored();
    if (!stored || !stored->refreshToken()) {
        // Not clear(): it takes the locks held here.
        setUnsaved(std::nullopt);
        m_storage->deleteEntry(m_storeKey);
        return {};
    }
    auto revoked = m_authentication->revokeRefreshToken(*stored->refreshToken()).headers(headers).start();
    if (!revoked) {
        return std::unexpected(
            CredentialsManagerError(CredentialsManagerError::Code::revokeFailed, std::move(revoked.error())));
    }
    setUnsaved(std::nullopt);
    m_storage->deleteEntry(m_storeKey);
    return {};
}

CredentialsManager::SignOut CredentialsManager::signOutFailure(const StorageFailure& failure) const
{
    return failure.kind == StorageFailure::Kind::unusable ? SignOut::storeUnusable : SignOut::storeUnreachable;
}

CredentialsManager::SignOut CredentialsManager::signOut(const Headers& headers,
                                                        std::optional<std::uint64_t> storesAtSignOut)
{
    const std::lock_guard threads(m_retrievalMutex);
    const ProcessLock processes(m_lockFile);

    const bool signedInSince = storesAtSignOut && *storesAtSignOut != m_storeCount.load();
    if (signedInSince && !hasUnsaved()) {
        return SignOut::done; // the new set took the old one's place
    }
    const auto read = m_storage->readEntry(m_storeKey);
    if (!signedInSince) {
        // The ended session's live refresh token: the unsaved set's, for the stored one may be retired.
        const auto pending = unsaved();
        setUnsaved(std::nullopt);
        std::optional<Credentials> ended = pending         ? std::optional(pending->credentials)
                                           : read && *read ? unarchive(**read)
                                                           : std::nullopt;
        if (ended && ended->refreshToken()) {
            auto revoked = m_authentication->revokeRefreshToken(*ended->refreshToken()).headers(headers).start();
            if (!revoked) {
                logError("The refresh token could not be revoked at the identity service (" + revoked.error().code() +
                         ", status " + std::to_string(revoked.error().statusCode()) +
                         "); deleting it here all the same");
            }
        }
    }
    if (!read) {
        return signOutFailure(read.error());
    }
    if (!*read) {
        return SignOut::done;
    }
    if (m_storage->deleteEntry(m_storeKey)) {
        return SignOut::done;
    }
    // Deleting fails on a missing entry too: only one still there is a failure.
    const auto after = m_storage->readEntry(m_storeKey);
    if (!after) {
        return signOutFailure(after.error());
    }
    return *after ? SignOut::storeUnreachable : SignOut::done;
}

} // namespace parlomatic::identity
