// AppState's renewal of the session: the credentials read or renewed in the background, and what
// their outcome does to the state.

#include "app/AppState.h"

#include "common/Async.h"
#include "common/Log.h"
#include "identity/jwt/JWT.h"

#include <cstdint>

namespace parlomatic::app {
namespace {

// The retrieval's outcome, carried from the worker to the GUI thread.
struct RefreshOutcome {
    enum class Kind : std::uint8_t {
        renewed,
        signedOut,   // nothing renewable stored, or the service refused the refresh token
        unreachable, // the keyring or the service did not answer: the session is kept
        failed,      // any other failure: nothing changes
    };
    Kind kind = Kind::failed;
    std::optional<identity::Credentials> credentials;
    bool unsaved = false; // the manager holds a set the keyring has not taken yet
};

// An outcome without credentials.
RefreshOutcome outcomeOf(RefreshOutcome::Kind kind)
{
    return {.kind = kind, .credentials = std::nullopt, .unsaved = false};
}

std::string describeForLog(const identity::CredentialsManagerError& error)
{
    // The cause's own description may be a response body; only its code and status are kept.
    std::string text = error.message();
    if (const auto& cause = error.cause()) {
        text += " (" + cause->code() + ", status " + std::to_string(cause->statusCode()) + ")";
    }
    return text;
}

bool refusedRefreshToken(const identity::CredentialsManagerError& error)
{
    const auto& cause = error.cause();
    return error.code() == identity::CredentialsManagerError::Code::renewFailed && cause &&
           cause->code() == "invalid_grant";
}

// `signedIn`: this process holds a session, which a keyring locked meanwhile must not end.
RefreshOutcome retrieve(identity::CredentialsManager& manager, bool forceRenew, bool signedIn)
{
    using Kind = RefreshOutcome::Kind;
    switch (manager.stored()) {
    case identity::CredentialsManager::Stored::nothing:
        logError("Unable to renew credentials");
        return outcomeOf(Kind::signedOut);
    case identity::CredentialsManager::Stored::unreachable:
        logError("The keyring could not be read; the session is kept and tried again later");
        return outcomeOf(Kind::unreachable);
    case identity::CredentialsManager::Stored::unusable:
        if (signedIn) {
            logError("The keyring cannot be used now; the session is kept and tried again later");
            return outcomeOf(Kind::unreachable);
        }
        // No session can have been kept: offer a sign-in, which then lives in memory only.
        logError("Unable to renew credentials");
        logError("The keyring cannot be used here; a sign-in lasts until Parlomatic quits");
        return outcomeOf(Kind::signedOut);
    case identity::CredentialsManager::Stored::renewable:
        break;
    }
    auto result = forceRenew ? manager.renew() : manager.credentials();
    if (result) {
        return {.kind = Kind::renewed, .credentials = std::move(*result), .unsaved = manager.hasUnsaved()};
    }
    const auto& error = result.error();
    logError(boundedFailureLine("Failed with: ", describeForLog(error)));
    if (error.isTransient()) {
        return outcomeOf(Kind::unreachable);
    }
    const bool gone =
        refusedRefreshToken(error) || error.code() == identity::CredentialsManagerError::Code::noCredentials;
    return outcomeOf(gone ? Kind::signedOut : Kind::failed);
}

} // namespace

std::string boundedFailureLine(std::string_view prefix, std::string_view description)
{
    if (description.size() > AppState::maxLoggedDescription) {
        std::size_t cut = AppState::maxLoggedDescription;
        // Never split a UTF-8 sequence: back up to the start of the character at the cut.
        while (cut > 0 && (static_cast<unsigned char>(description[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        return std::string(prefix) + std::string(description.substr(0, cut)) + "...";
    }
    return std::string(prefix) + std::string(description);
}

void AppState::refreshSession(bool forceRenew, std::function<void()> done)
{
    refresh(forceRenew, true, std::move(done));
}

void AppState::refresh(bool forceRenew, bool shown, std::function<void()> done)
{
    if (shown) {
        beginWaiting();
    }
    const std::uint64_t epoch = m_sessionEpoch;
    // A sign-in since the sign-out has its set in the credentials manager's memory.
    const bool signedOut = m_signOutPending && !m_signedInSinceSignOut;
    const bool signedIn = m_isAuthenticated || m_isReconnecting;
    runInBackground([manager = m_deps.credentialsManager, forceRenew, shown, epoch, signedOut, signedIn,
                     post = guiPoster(), done = std::move(done)] {
        // A sign-out not yet complete leaves a stored set behind that must never be used again.
        const RefreshOutcome outcome =
            signedOut ? outcomeOf(RefreshOutcome::Kind::signedOut) : retrieve(*manager, forceRenew, signedIn);
        post([outcome, forceRenew, shown, epoch, done](AppState& state) {
            if (epoch == state.m_sessionEpoch) {
                switch (outcome.kind) {
                case RefreshOutcome::Kind::renewed:
                    state.m_renewalRetry.reset();
                    state.setReconnecting(false);
                    state.applyCredentials(*outcome.credentials, forceRenew);
                    if (outcome.unsaved) {
                        state.m_saveRetry.schedule(state, [&state] { state.saveUnsaved(); });
                    }
                    break;
                case RefreshOutcome::Kind::signedOut:
                    state.m_renewalRetry.reset();
                    state.setReconnecting(false);
                    state.dropSession();
                    break;
                case RefreshOutcome::Kind::unreachable:
                    state.setReconnecting(true);
                    state.m_renewalRetry.schedule(state, [&state] { state.retryRenewal(); });
                    break;
                case RefreshOutcome::Kind::failed:
                    break;
                }
            }
            if (shown) {
                state.endWaiting();
            }
            if (done) {
                done();
            }
        });
    });
}

void AppState::saveUnsaved()
{
    runInBackground([manager = m_deps.credentialsManager, post = guiPoster()] {
        const bool saved = manager->saveUnsaved().has_value();
        post([saved](AppState& state) {
            if (saved) {
                state.m_saveRetry.reset();
                state.m_inMemoryOnly = false;
            } else {
                state.m_saveRetry.schedule(state, [&state] { state.saveUnsaved(); });
            }
        });
    });
}

void AppState::applyCredentials(const identity::Credentials& credentials, bool updateUser)
{
    const auto decoded = jwt::decode(credentials.accessToken());
    if (!decoded) {
        return;
    }
    if (updateUser) {
        m_user = service::User::fromIdToken(credentials.idToken());
        emit userChanged();
    }
    setAccessToken(credentials.accessToken());
    const std::optional<double> expiration = decoded->expiresAt();
    if (expiration != m_accessTokenExpiration) {
        m_accessTokenExpiration = expiration;
        emit accessTokenExpirationChanged();
    }
    setAuthenticated(true);
}

} // namespace parlomatic::app
