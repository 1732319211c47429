// The session over the real identity service, which rotates refresh tokens and refuses a retired
// one, and the harness's gnome-keyring, ended by its PID and started again while the session runs.
// Runs inside the desktop harness.
#include "app/AppState.h"
#include "common/CurlHttpClient.h"
#include "identity/IdentityAuthentication.h"
#include "identity/keychain/KeychainStore.h"
#include "platform/linux/desktop/SecretServiceKeychain.h"
#include "support/IdentityServiceProcess.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <fstream>

namespace parlomatic::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Trusted final : AccessibilityPermission {
    bool isTrusted() override { return true; }
    void requestAccess() override {}
};

constexpr const char* secretsName = "org.freedesktop.secrets";

// The process that owns the Secret Service's name; 0 when nobody does.
uint secretServicePid()
{
    const auto pid = QDBusConnection::sessionBus().interface()->servicePid(QString::fromLatin1(secretsName));
    return pid.isValid() ? pid.value() : 0;
}

// A renewal while the keyring is gone keeps the session ("Log Out..." stays offered); once a daemon
// is back on the same files, the next attempt renews and stores there, so that the next start
// renews with the rotated refresh token.
TEST(KeyringRestartTest, ASessionOutlivesTheKeyringGoneAndComingBack)
{
    ASSERT_NE(std::getenv("PARLOMATIC_DESKTOP_SESSION"), nullptr) << "run through scripts/desktop-session";
    test::IdentityServiceProcess identityService(fs::temp_directory_path() /
                                                 ("pm-keyring-restart-" + std::to_string(::getpid())));
    ASSERT_TRUE(identityService.ready() && identityService.start()) << "the identity service did not start";
    const fs::path folder = identityService.folder();
    auto http = std::make_shared<CurlHttpClient>(CurlHttpClient::Options{.extraCaFile = identityService.caFile()});
    auto store = std::make_shared<identity::KeychainStore>(std::make_shared<platform::SecretServiceKeychain>(),
                                                           "com.parlomatic.keyring-restart");
    const auto makeManager = [&] {
        return std::make_shared<identity::CredentialsManager>(
            std::make_shared<identity::IdentityAuthentication>(
                test::IdentityServiceProcess::clientId, identityService.issuer(), http,
                identity::Telemetry{.enabled = false, .info = std::nullopt}),
            "credentials", store, systemClock(), folder / "credentials.lock");
    };
    auto manager = makeManager();
    const auto signedIn = identity::Credentials::fromTokenResponse(identityService.signIn(*http),
                                                                   static_cast<double>(std::time(nullptr)));
    ASSERT_TRUE(signedIn && signedIn->refreshToken());
    ASSERT_TRUE(manager->store(*signedIn));

    AppStateDependencies deps;
    deps.credentialsManager = manager;
    deps.accessibility = std::make_shared<Trusted>();
    deps.signIn = [](const auto&) {};
    deps.startWatcher = [] { return std::make_unique<QObject>(); };
    deps.signOutPendingFile = folder / "sign-out-pending";
    deps.retryDelay = 200ms;
    deps.maxRetryDelay = 1s;
    AppState state(std::move(deps));
    QSignalSpy started(&state, &AppState::startupFinished);
    ASSERT_TRUE(started.wait(30'000));
    ASSERT_TRUE(state.isAuthenticated());

    // Gone. A name nobody owns would make the bus start a daemon of its own for the next call, over
    // a locked keyring: a stand-in that answers every call with an error holds it meanwhile.
    auto standIn = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("stand-in"));
    ASSERT_TRUE(standIn.interface()
                    ->registerService(QString::fromLatin1(secretsName), QDBusConnectionInterface::QueueService,
                                      QDBusConnectionInterface::AllowReplacement)
                    .isValid());
    const uint original = secretServicePid();
    ASSERT_GT(original, 0u);
    ::kill(static_cast<pid_t>(original), SIGTERM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return secretServicePid() == static_cast<uint>(::getpid()); }, 10'000));
    QSignalSpy waiting(&state, &AppState::waitingForAuthChanged);
    state.refreshSession(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state.isReconnecting(); }, 30'000));
    EXPECT_TRUE(state.isAuthenticated());

    // Back, over the same keyring files, unlocked as the harness does.
    std::ofstream(folder / "keyring-password") << "parlomatic-test";
    test::ChildProcess keyring({"sh", "-c",
                                "exec gnome-keyring-daemon --foreground --unlock --components=secrets <'" +
                                    (folder / "keyring-password").string() + "' >/dev/null 2>&1"});
    // It queues for the name behind the stand-in, which then leaves: the name passes without a gap.
    QDBusInterface bus(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                       QStringLiteral("org.freedesktop.DBus"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QDBusReply<QStringList> queued =
                bus.call(QStringLiteral("ListQueuedOwners"), QString::fromLatin1(secretsName));
            return queued.isValid() && queued.value().size() >= 2;
        },
        15'000));
    ASSERT_TRUE(standIn.interface()->unregisterService(QString::fromLatin1(secretsName)).value());
    ASSERT_TRUE(QTest::qWaitFor([&] { return secretServicePid() == static_cast<uint>(keyring.pid()); }, 15'000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state.isReconnecting(); }, 15'000));
    EXPECT_TRUE(state.isAuthenticated());
    EXPECT_EQ(waiting.count(), 2); // the refresh asked for, not the attempts after it

    // The next start renews with what the keyring holds: the rotated token, not a retired one.
    const auto again = makeManager()->renew();
    EXPECT_TRUE(again) << again.error().debugDescription();
    QThreadPool::globalInstance()->waitForDone();
    ASSERT_TRUE(store->deleteAll());
}

} // namespace
} // namespace parlomatic::app
