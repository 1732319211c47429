#pragma once

#include "app/Backoff.h"
#include "identity/Credentials.h"
#include "identity/CredentialsManager.h"
#include "service/Session.h"
#include "service/User.h"
#include "service/UserMetadata.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QTimer;

namespace parlomatic::app {

class UpdaterController;

// The desktop's permission to read other applications through the accessibility interface.
class AccessibilityPermission {
public:
    virtual ~AccessibilityPermission() = default;
    // Whether it is granted now; never asks the user.
    virtual bool isTrusted() = 0;
    // Asks the user to grant it and returns at once; the answer shows in a later isTrusted().
    virtual void requestAccess() = 0;
};

// The outcome of a browser sign-in: the token set, or the error's description.
using SignInResult = std::expected<identity::Credentials, std::string>;
// Starts the browser sign-in (with the deployment's scope, audience and redirect URL, in an
// ephemeral session). `done` runs exactly once, on any thread.
using WebSignIn = std::function<void(std::function<void(SignInResult)> done)>;
// Starts the selection watcher. What it returns lives as long as the session state.
using WatcherFactory = std::function<std::unique_ptr<QObject>()>;

struct AppStateDependencies {
    std::shared_ptr<identity::CredentialsManager> credentialsManager;
    std::shared_ptr<AccessibilityPermission> accessibility;
    WebSignIn signIn;
    WatcherFactory startWatcher;
    std::shared_ptr<const service::UserMetadata> userMetadata;
    std::chrono::milliseconds accessibilityInterval{1000};
    // Tells the user what the menu cannot show (a sign-out not complete yet, a sign-in the keyring
    // cannot keep); may be empty.
    std::function<void(const QString&)> tell;
    // Present while a sign-out has not yet deleted the stored token set: as long as it is there,
    // that set is never taken up again, also not by the next start. Empty: remembered in memory.
    std::filesystem::path signOutPendingFile;
    // The first wait before a renewal that could not reach the service, a sign-out that could not
    // reach the keyring, or a token set the keyring did not take, is tried again; each further wait
    // of the same kind doubles, up to maxRetryDelay.
    std::chrono::milliseconds retryDelay{std::chrono::seconds(5)};
    std::chrono::milliseconds maxRetryDelay{std::chrono::minutes(5)};
};

// The one session state of the program: who is signed in and with which access token, whether
// the accessibility permission is granted, what the update item says; it starts the selection
// watcher once a user is signed in and the permission is granted.
//
// Lives on the GUI thread: every field is written there, every signal is emitted there, and every
// operation is called there. Blocking work runs in the background and comes back queued.
class AppState final : public QObject, public service::Session {
    Q_OBJECT
    Q_PROPERTY(QString updateLabel READ updateLabel WRITE setUpdateLabel NOTIFY updateLabelChanged)
    Q_PROPERTY(bool isAccessibilityEnabled READ isAccessibilityEnabled NOTIFY isAccessibilityEnabledChanged)
    Q_PROPERTY(bool isAuthenticated READ isAuthenticated NOTIFY isAuthenticatedChanged)
    Q_PROPERTY(QString accessToken READ accessTokenText NOTIFY accessTokenChanged)
    Q_PROPERTY(bool waitingForAuth READ waitingForAuth NOTIFY waitingForAuthChanged)
    Q_PROPERTY(bool isReconnecting READ isReconnecting NOTIFY isReconnectingChanged)

public:
    static constexpr const char* checkForUpdatesLabel = "Check for Updates...";
    // Longest error description a "Failed with: " or "Failed! " line carries.
    static constexpr std::size_t maxLoggedDescription = 300;
    static constexpr const char* signOutIncomplete =
        "Parlomatic could not remove your sign-in from the keyring. It will as soon as the keyring answers again.";
    // %1: why, such as "no keyring is running".
    static constexpr const char* sessionInMemoryOnly =
        "Parlomatic cannot keep your sign-in in the keyring (%1). You will have to sign in again the next time "
        "Parlomatic starts.";

    // Checks the permission silently and starts the start-up task: a forced renewal of the stored
    // token set, then the one-second permission re-check and the readiness watch.
    explicit AppState(AppStateDependencies dependencies, QObject* parent = nullptr);
    ~AppState() override;

    const QString& updateLabel() const { return m_updateLabel; }
    void setUpdateLabel(const QString& label);
    bool isAccessibilityEnabled() const { return m_isAccessibilityEnabled; }
    bool isAuthenticated() const { return m_isAuthenticated; }
    // Absent until a token set is taken over; the empty text after sign-out.
    const std::optional<std::string>& accessTokenValue() const { return m_accessToken; }
    QString accessTokenText() const { return QString::fromStdString(accessToken()); }
    std::optional<double> accessTokenExpiration() const { return m_accessTokenExpiration; }
    const std::optional<service::User>& user() const { return m_user; }
    bool waitingForAuth() const { return m_pendingAuth > 0; }
    // A stored session is kept although it could not be renewed (the identity service or the
    // keyring did not answer); it is tried again with a growing delay, and when the network is back.
    // Those attempts leave waitingForAuth alone, so the menu keeps offering "Log Out...".
    bool isReconnecting() const { return m_isReconnecting; }
    // The delay before the next attempt at renewing a kept session; zero when none is scheduled.
    std::chrono::milliseconds renewalRetryDelay() const { return m_renewalRetry.scheduledDelay(); }
    // The network is back: a session waiting for it is renewed at once.
    void networkOnline();
    // The user signed out, and the stored token set is not deleted yet.
    bool isSignOutPending() const { return m_signOutPending; }
    UpdaterController* updater() const { return m_updater.get(); }
    void setUpdater(std::unique_ptr<UpdaterController> updater);

    bool isEnabled() const { return m_isEnabled; }
    bool accessibilityPrompted() const { return m_accessibilityPrompted; }
    bool isCheckingAccessibility() const { return m_accessibilityTimer != nullptr; }

    // Session
    void refreshSession(std::function<void()> done) override { refreshSession(false, std::move(done)); }
    std::string accessToken() const override { return m_accessToken.value_or(std::string()); }
    std::optional<service::Gender> preferredGender() const override;

    // Brings the token, its expiry, isAuthenticated and (when forced) the user up to date from the
    // credentials manager, then runs `done`. Logs "Unable to renew credentials" when nothing
    // renewable is stored, "Failed with: " + the error when retrieval or renewal failed. Only no
    // stored set, a keyring that cannot be used here, or a refresh token the service refused,
    // signs the user out; a keyring or service that did not answer keeps the session and starts
    // reconnecting. A renewed set the keyring did not take is kept, and stored when it answers.
    void refreshSession(bool forceRenew, std::function<void()> done = {});
    // Takes a token set over. An access token that does not decode as a JWT changes nothing.
    void applyCredentials(const identity::Credentials& credentials, bool updateUser);
    // Starts the browser sign-in. A token set the keyring does not take is used all the same and
    // stored when the keyring answers; when it cannot be used here, the user is told once that the
    // session ends with the process. A sign-out not yet complete goes on until a sign-in's set
    // has taken the old one's place in the keyring.
    void login();
    // Signs out at once, then revokes the refresh token at the identity service and deletes the
    // stored set in the background; a keyring that cannot be reached is told, and tried again.
    void logout();
    void checkForUpdates();
    // The preferred-gender choice of the status menu.
    void changePreferredGender(std::optional<service::Gender> chosen);

    void checkReadiness(bool accessibilityEnabled, bool signedIn);
    void updateAccessibilityStatus();

signals:
    void updateLabelChanged();
    void isAccessibilityEnabledChanged();
    void isAuthenticatedChanged();
    void accessTokenChanged();
    void accessTokenExpirationChanged();
    void userChanged();
    void waitingForAuthChanged();
    void isReconnectingChanged();
    // The start-up renewal has ended and the readiness watch runs.
    void startupFinished();

private:
    void runStartup();
    void startReadinessWatch();
    void setReconnecting(bool reconnecting);
    // `shown`: the attempt sets waitingForAuth.
    void refresh(bool forceRenew, bool shown, std::function<void()> done);
    void retryRenewal();
    void finishSignOut();
    void saveUnsaved();
    void tellOnce(bool& told, const QString& message);
    void setSignOutPending(bool pending);
    void dropSession();
    void setAccessibilityEnabled(bool enabled);
    void setAuthenticated(bool authenticated);
    void assignReadinessField(bool& field, bool value, void (AppState::*changed)());
    void setAccessToken(std::optional<std::string> token);
    void beginWaiting();
    void endWaiting();
    // From any thread: runs `step` on the GUI thread later, unless this object is gone by then.
    std::function<void(std::function<void(AppState&)>)> guiPoster();

    AppStateDependencies m_deps;

    QString m_updateLabel = QString::fromLatin1(checkForUpdatesLabel);
    bool m_isAccessibilityEnabled = false;
    bool m_isAuthenticated = false;
    std::optional<std::string> m_accessToken;
    std::optional<double> m_accessTokenExpiration;
    std::optional<service::User> m_user;
    // waitingForAuth counts the sign-ins and refreshes under way, so one that ends does not show
    // the menu as idle while another still runs.
    int m_pendingAuth = 0;
    bool m_isReconnecting = false;
    bool m_signOutPending = false;
    bool m_signOutTold = false;
    // The credentials manager's storeCount() when the user signed out: a later sign-in's set is
    // never deleted by that sign-out.
    std::uint64_t m_storesAtSignOut = 0;
    bool m_signedInSinceSignOut = false;
    // The session lives only in this process: the keyring cannot be used here.
    bool m_inMemoryOnly = false;
    bool m_inMemoryTold = false;
    Backoff m_renewalRetry;
    Backoff m_signOutRetry;
    Backoff m_saveRetry;
    std::unique_ptr<UpdaterController> m_updater;
    bool m_readinessWatched = false;
    bool m_isEnabled = false;
    bool m_accessibilityPrompted = false;
    std::unique_ptr<QTimer> m_accessibilityTimer;
    std::unique_ptr<QObject> m_poller;
    // Bumped by every sign-in and sign-out: a refresh that began before one of them must not
    // write its older outcome over the newer session.
    std::uint64_t m_sessionEpoch = 0;
};

// "Failed with: " / "Failed! " and the description cut to maxLoggedDescription characters (on a
// character boundary), so a log line never carries a whole response or token.
std::string boundedFailureLine(std::string_view prefix, std::string_view description);

} // namespace parlomatic::app
