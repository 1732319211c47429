#include "app/AppState.h"

#include "app/UpdaterController.h"
#include "common/Async.h"
#include "common/Log.h"

#include <QNetworkInformation>
#include <QPointer>
#include <QTimer>

#include <fstream>
#include <system_error>

namespace parlomatic::app {

AppState::AppState(AppStateDependencies dependencies, QObject* parent)
    : QObject(parent), m_deps(std::move(dependencies)), m_renewalRetry(m_deps.retryDelay, m_deps.maxRetryDelay),
      m_signOutRetry(m_deps.retryDelay, m_deps.maxRetryDelay), m_saveRetry(m_deps.retryDelay, m_deps.maxRetryDelay)
{
    m_isAccessibilityEnabled = m_deps.accessibility->isTrusted();
    std::error_code error;
    m_signOutPending = !m_deps.signOutPendingFile.empty() && std::filesystem::exists(m_deps.signOutPendingFile, error);
    m_storesAtSignOut = m_deps.credentialsManager->storeCount();
    // Where the desktop tells when the network comes back, a session waiting for it goes on at once.
    if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, this,
                [this](QNetworkInformation::Reachability reachability) {
                    if (reachability == QNetworkInformation::Reachability::Online) {
                        networkOnline();
                    }
                });
    }
    runStartup();
}

AppState::~AppState() = default;

std::function<void(std::function<void(AppState&)>)> AppState::guiPoster()
{
    return [guard = QPointer<AppState>(this)](std::function<void(AppState&)> step) {
        // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks): the queued call owns the functor and deletes it
        postToGui(guard, std::move(step));
    };
}

void AppState::runStartup()
{
    if (m_signOutPending) {
        // The last sign-out did not get as far as the keyring: finish it, never sign in from it.
        finishSignOut();
        QTimer::singleShot(0, this, &AppState::startReadinessWatch);
        return;
    }
    refreshSession(true, [this] { startReadinessWatch(); });
}

void AppState::startReadinessWatch()
{
    m_accessibilityTimer = std::make_unique<QTimer>();
    m_accessibilityTimer->setInterval(m_deps.accessibilityInterval);
    connect(m_accessibilityTimer.get(), &QTimer::timeout, this, &AppState::updateAccessibilityStatus);
    m_accessibilityTimer->start();
    m_readinessWatched = true;
    checkReadiness(m_isAccessibilityEnabled, m_isAuthenticated);
    emit startupFinished();
}

void AppState::setReconnecting(bool reconnecting)
{
    if (reconnecting != m_isReconnecting) {
        m_isReconnecting = reconnecting;
        emit isReconnectingChanged();
    }
}

void AppState::networkOnline()
{
    if (m_isReconnecting) {
        m_renewalRetry.reset();
        retryRenewal();
    }
}

void AppState::retryRenewal()
{
    if (m_isReconnecting) {
        refresh(true, false, {});
    }
}

void AppState::tellOnce(bool& told, const QString& message)
{
    if (!told && m_deps.tell) {
        told = true;
        m_deps.tell(message);
    }
}

void AppState::setUpdateLabel(const QString& label)
{
    if (label != m_updateLabel) {
        m_updateLabel = label;
        emit updateLabelChanged();
    }
}

void AppState::setUpdater(std::unique_ptr<UpdaterController> updater)
{
    m_updater = std::move(updater);
}

void AppState::setAccessibilityEnabled(bool enabled)
{
    assignReadinessField(m_isAccessibilityEnabled, enabled, &AppState::isAccessibilityEnabledChanged);
}

void AppState::setAuthenticated(bool authenticated)
{
    assignReadinessField(m_isAuthenticated, authenticated, &AppState::isAuthenticatedChanged);
}

// Readiness is re-evaluated on every assignment of either field, changed or not.
void AppState::assignReadinessField(bool& field, bool value, void (AppState::*changed)())
{
    const bool differs = field != value;
    field = value;
    if (differs) {
        emit(this->*changed)();
    }
    if (m_readinessWatched) {
        checkReadiness(m_isAccessibilityEnabled, m_isAuthenticated);
    }
}

void AppState::setAccessToken(std::optional<std::string> token)
{
    if (token != m_accessToken) {
        m_accessToken = std::move(token);
        emit accessTokenChanged();
    }
}

void AppState::beginWaiting()
{
    if (m_pendingAuth++ == 0) {
        emit waitingForAuthChanged();
    }
}

void AppState::endWaiting()
{
    if (m_pendingAuth == 0) {
        return;
    }
    --m_pendingAuth;
    if (m_pendingAuth == 0) {
        emit waitingForAuthChanged();
    }
}

std::optional<service::Gender> AppState::preferredGender() const
{
    return m_user ? m_user->gender : std::nullopt;
}

void AppState::login()
{
    beginWaiting();
    auto post = guiPoster();
    m_deps.signIn([manager = m_deps.credentialsManager, post](SignInResult result) {
        if (!result) {
            logError(boundedFailureLine("Failed! ", result.error()));
            post([](AppState& state) { state.endWaiting(); });
            return;
        }
        // The callback may come on the GUI thread; the keyring write must not block it.
        runInBackground([manager, post, credentials = std::move(*result)] {
            const auto stored = manager->store(credentials);
            if (!stored) {
                logError("Failed to store credentials!");
            }
            post([stored, credentials](AppState& state) {
                ++state.m_sessionEpoch;
                state.m_renewalRetry.reset();
                state.setReconnecting(false);
                state.m_signedInSinceSignOut = true;
                if (stored) {
                    // The new set took the old one's place in the keyring.
                    state.m_signOutRetry.reset();
                    state.setSignOutPending(false);
                    state.m_inMemoryOnly = false;
                } else {
                    // The manager keeps the set; it is written once the keyring takes it.
                    state.m_saveRetry.reset();
                    state.m_saveRetry.schedule(state, [&state] { state.saveUnsaved(); });
                    if (stored.error().kind == identity::CredentialsStorage::Failure::Kind::unusable) {
                        state.m_inMemoryOnly = true;
                        state.tellOnce(state.m_inMemoryTold, QString::fromLatin1(sessionInMemoryOnly)
                                                                 .arg(QString::fromStdString(stored.error().reason)));
                    }
                }
                state.applyCredentials(credentials, true);
                state.endWaiting();
            });
        });
    });
}

void AppState::logout()
{
    ++m_sessionEpoch;
    m_renewalRetry.reset();
    m_saveRetry.reset();
    setReconnecting(false);
    m_signOutTold = false;
    m_signedInSinceSignOut = false;
    m_storesAtSignOut = m_deps.credentialsManager->storeCount();
    setSignOutPending(true);
    dropSession();
    finishSignOut();
}

void AppState::dropSession()
{
    // A token never taken over stays absent.
    if (m_accessToken) {
        setAccessToken(std::string());
    }
    if (m_accessTokenExpiration) {
        m_accessTokenExpiration.reset();
        emit accessTokenExpirationChanged();
    }
    setAuthenticated(false);
}

void AppState::finishSignOut()
{
    if (!m_signOutPending) {
        return;
    }
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks): the analyzer loses the functor std::function owns
    runInBackground([manager = m_deps.credentialsManager, since = m_storesAtSignOut, post = guiPoster()] {
        const auto result = manager->signOut({}, since);
        using SignOut = identity::CredentialsManager::SignOut;
        if (result != SignOut::done) {
            logError("The sign-in could not be removed from the keyring; trying again later");
        }
        post([result](AppState& state) {
            // A sign-in since has stored a set of its own.
            if (!state.m_signOutPending) {
                return;
            }
            if (result == SignOut::done) {
                state.m_signOutRetry.reset();
                state.setSignOutPending(false);
                return;
            }
            // A session that only ever lived in memory left nothing the user need hear about.
            if (result == SignOut::storeUnreachable || !state.m_inMemoryOnly) {
                state.tellOnce(state.m_signOutTold, QString::fromLatin1(signOutIncomplete));
            }
            state.m_signOutRetry.schedule(state, [&state] { state.finishSignOut(); });
        });
    });
}

void AppState::setSignOutPending(bool pending)
{
    m_signOutPending = pending;
    const auto& file = m_deps.signOutPendingFile;
    if (file.empty()) {
        return;
    }
    std::error_code error;
    if (pending) {
        std::filesystem::create_directories(file.parent_path(), error);
        std::ofstream(file) << "The last sign-out has not removed the stored sign-in yet.\n";
        if (!std::filesystem::exists(file, error)) {
            logError("Could not write " + file.string() + "; an unfinished sign-out is not remembered past quitting");
        }
    } else {
        std::filesystem::remove(file, error);
    }
}

void AppState::checkForUpdates()
{
    if (m_updater) {
        m_updater->checkForUpdates();
    }
}

void AppState::changePreferredGender(std::optional<service::Gender> chosen)
{
    if (!m_deps.userMetadata) {
        return;
    }
    auto metadata = m_deps.userMetadata;
    const service::RunInBackground keepAlive = [metadata](std::function<void()> job) {
        runInBackground([metadata, job = std::move(job)] { job(); });
    };
    if (service::changePreferredGender(m_user, m_accessToken, chosen, *metadata, keepAlive)) {
        emit userChanged();
    }
}

void AppState::checkReadiness(bool accessibilityEnabled, bool signedIn)
{
    if (!signedIn) {
        return;
    }
    if (!m_accessibilityPrompted && !accessibilityEnabled) {
        m_accessibilityPrompted = true;
        m_deps.accessibility->requestAccess();
    }
    if (!m_isEnabled && accessibilityEnabled) {
        m_isEnabled = true;
        m_poller = m_deps.startWatcher();
    }
}

void AppState::updateAccessibilityStatus()
{
    setAccessibilityEnabled(m_deps.accessibility->isTrusted());
    if (m_isAccessibilityEnabled && m_accessibilityTimer) {
        // This runs inside the timer's own signal: the timer goes once the signal has returned.
        m_accessibilityTimer->stop();
        m_accessibilityTimer.release()->deleteLater();
    }
}

} // namespace parlomatic::app
