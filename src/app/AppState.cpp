#include "app/AppState.h"

#include "app/UpdaterController.h"
#include "common/Log.h"
#include "identity/jwt/JWT.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

namespace parlomatic {
namespace {

void runInPool(std::function<void()> job)
{
    QThreadPool::globalInstance()->start(std::move(job));
}

// The retrieval's outcome, carried from the worker to the GUI thread.
struct RefreshOutcome {
    bool canRenew = false;
    std::optional<identity::Credentials> credentials;
};

std::string describeForLog(const identity::CredentialsManagerError& error)
{
    // The cause's own description may be a response body; only its code and status are kept.
    std::string text = error.message();
    if (error.cause()) {
        text += " (" + error.cause()->code() + ", status " + std::to_string(error.cause()->statusCode()) + ")";
    }
    return text;
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

AppState::AppState(AppStateDependencies dependencies, QObject* parent)
    : QObject(parent), m_deps(std::move(dependencies))
{
    m_isAccessibilityEnabled = m_deps.accessibility->isTrusted();
    runStartup();
}

AppState::~AppState() = default;

std::function<void(std::function<void(AppState&)>)> AppState::guiPoster()
{
    return [guard = QPointer<AppState>(this)](std::function<void(AppState&)> step) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, step = std::move(step)] {
                if (guard) {
                    step(*guard);
                }
            },
            Qt::QueuedConnection);
    };
}

void AppState::runStartup()
{
    refreshSession(true, [this] {
        m_accessibilityTimer = std::make_unique<QTimer>();
        m_accessibilityTimer->setInterval(m_deps.accessibilityInterval);
        connect(m_accessibilityTimer.get(), &QTimer::timeout, this, &AppState::updateAccessibilityStatus);
        m_accessibilityTimer->start();
        m_readinessWatched = true;
        checkReadiness(m_isAccessibilityEnabled, m_isAuthenticated);
        emit startupFinished();
    });
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
    if (m_pendingAuth > 0 && --m_pendingAuth == 0) {
        emit waitingForAuthChanged();
    }
}

std::optional<Gender> AppState::preferredGender() const
{
    return m_user ? m_user->gender : std::nullopt;
}

void AppState::refreshSession(bool forceRenew, std::function<void()> done)
{
    beginWaiting();
    const std::uint64_t epoch = m_sessionEpoch;
    runInPool([manager = m_deps.credentialsManager, forceRenew, epoch, post = guiPoster(), done = std::move(done)] {
        RefreshOutcome outcome;
        outcome.canRenew = manager->canRenew();
        if (!outcome.canRenew) {
            logError("Unable to renew credentials");
        } else {
            auto result = forceRenew ? manager->renew() : manager->credentials();
            if (result) {
                outcome.credentials = std::move(*result);
            } else {
                logError(boundedFailureLine("Failed with: ", describeForLog(result.error())));
            }
        }
        post([outcome = std::move(outcome), forceRenew, epoch, done](AppState& state) {
            if (epoch == state.m_sessionEpoch) {
                if (!outcome.canRenew) {
                    state.setAuthenticated(false);
                } else if (outcome.credentials) {
                    state.applyCredentials(*outcome.credentials, forceRenew);
                }
            }
            state.endWaiting();
            if (done) {
                done();
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
        m_user = User::fromIdToken(credentials.idToken());
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
        runInPool([manager, post, credentials = std::move(*result)] {
            const bool stored = manager->store(credentials);
            if (!stored) {
                logError("Failed to store credentials!");
            }
            post([stored, credentials](AppState& state) {
                if (stored) {
                    ++state.m_sessionEpoch;
                    state.applyCredentials(credentials, true);
                }
                state.endWaiting();
            });
        });
    });
}

void AppState::logout()
{
    ++m_sessionEpoch;
    runInPool([manager = m_deps.credentialsManager, post = guiPoster()] {
        (void)manager->clear();
        post([](AppState& state) {
            state.setAccessToken(std::string());
            if (state.m_accessTokenExpiration) {
                state.m_accessTokenExpiration.reset();
                emit state.accessTokenExpirationChanged();
            }
            state.setAuthenticated(false);
        });
    });
}

void AppState::checkForUpdates()
{
    if (m_updater) {
        m_updater->checkForUpdates();
    }
}

void AppState::changePreferredGender(std::optional<Gender> chosen)
{
    if (!m_deps.userMetadata) {
        return;
    }
    auto metadata = m_deps.userMetadata;
    const RunInBackground keepAlive = [metadata](std::function<void()> job) {
        runInPool([metadata, job = std::move(job)] { job(); });
    };
    if (parlomatic::changePreferredGender(m_user, m_accessToken, chosen, *metadata, keepAlive)) {
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

} // namespace parlomatic
