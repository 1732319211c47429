// gnome-keyring and the real identity service ended and started again. Inside the desktop harness.
#include "app/AppState.h"
#include "app/MenuBarView.h"
#include "common/CurlHttpClient.h"
#include "identity/IdentityAuthentication.h"
#include "identity/keychain/KeychainStore.h"
#include "platform/linux/SecretServiceKeychain.h"
#include "support/IdentityServiceProcess.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <fstream>
#include <functional>
#include <thread>

#include <unistd.h>

namespace parlomatic {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::IdentityServiceProcess;

constexpr const char* secretsName = "org.freedesktop.secrets";

// Without the event loop: a connection must find a new owner without the loop's signals.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

bool secretsRunning()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(QString::fromLatin1(secretsName));
}

struct FakePermission final : AccessibilityPermission {
    bool isTrusted() override { return true; }
    void requestAccess() override {}
};

class SessionFaultsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        identity = new IdentityServiceProcess(fs::temp_directory_path() / ("pm-faults-" + std::to_string(::getpid())));
        ASSERT_TRUE(identity->ready() && identity->start()) << "the identity service did not start";
    }
    static void TearDownTestSuite()
    {
        delete identity;
        identity = nullptr;
        keyring.reset();
    }

    void SetUp() override
    {
        ASSERT_NE(std::getenv("PARLOMATIC_DESKTOP_SESSION"), nullptr) << "run through scripts/desktop-session";
        ASSERT_TRUE(secretsRunning());
        std::ofstream(folder / "keyring-password") << "parlomatic-test";
        ASSERT_TRUE(store->deleteAll());
    }
    void TearDown() override
    {
        state.reset();
        QThreadPool::globalInstance()->waitForDone();
        if (standIn) {
            startKeyring();
        }
    }

    // The bus would start a fresh (locked) daemon for the next call: a stand-in that answers every
    // call with an error holds the name meanwhile, as on a desktop where the keyring is gone.
    void stopKeyring()
    {
        auto* bus = QDBusConnection::sessionBus().interface();
        const auto pid = bus->servicePid(QString::fromLatin1(secretsName));
        ASSERT_TRUE(pid.isValid() && pid.value() > 0);
        standIn = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/python3", "-c",
            "from gi.repository import Gio, GLib\n"
            "loop = GLib.MainLoop()\n"
            "# Queued behind the daemon: the name comes over when it ends.\n"
            "Gio.bus_own_name(Gio.BusType.SESSION, 'org.freedesktop.secrets', Gio.BusNameOwnerFlags.NONE,\n"
            "                 None, None, None)\n"
            "GLib.io_add_watch(0, GLib.IO_HUP, lambda *a: loop.quit())\n"
            "loop.run()\n"});
        QDBusInterface daemon(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                              QStringLiteral("org.freedesktop.DBus"));
        ASSERT_TRUE(waitFor(
            [&] {
                const QDBusReply<QStringList> queued =
                    daemon.call(QStringLiteral("ListQueuedOwners"), QString::fromLatin1(secretsName));
                return queued.isValid() && queued.value().size() >= 2;
            },
            10s));
        keyring.reset();
        ::kill(static_cast<pid_t>(pid.value()), SIGTERM);
        ASSERT_TRUE(waitFor(
            [&] { return bus->servicePid(QString::fromLatin1(secretsName)) == static_cast<uint>(standIn->pid()); },
            10s));
    }
    // A new daemon over the same keyring files, unlocked with the harness's password.
    void startKeyring()
    {
        standIn.reset();
        ASSERT_TRUE(waitFor([] { return !secretsRunning(); }, 5s));
        keyring = std::make_unique<ChildProcess>(
            std::vector<std::string>{"sh", "-c",
                                     "exec gnome-keyring-daemon --foreground --unlock --components=secrets <'" +
                                         (folder / "keyring-password").string() + "' >/dev/null 2>&1"});
        ASSERT_TRUE(waitFor(secretsRunning, 15s));
    }

    // Signs in at the identity service and stores the token set as a sign-in would.
    void storeSession()
    {
        const auto tokens = identity->signIn(http);
        auto credentials = identity::Credentials::fromTokenResponse(tokens, static_cast<double>(std::time(nullptr)));
        ASSERT_TRUE(credentials) << "no token set";
        refreshToken = credentials->refreshToken().value_or("");
        ASSERT_TRUE(manager->store(*credentials));
    }

    // The session state as the program builds it at start, with short retry delays.
    void startState()
    {
        AppStateDependencies deps;
        deps.credentialsManager = manager;
        deps.accessibility = std::make_shared<FakePermission>();
        deps.signIn = [](const auto&) {};
        deps.startWatcher = [this] {
            ++watchers;
            return std::make_unique<QObject>();
        };
        deps.tell = [this](const QString& message) { told.push_back(message); };
        deps.signOutPendingFile = folder / "state" / "sign-out-pending";
        deps.retryDelay = 300ms;
        deps.maxRetryDelay = 1s;
        state = std::make_unique<AppState>(std::move(deps));
        QSignalSpy started(state.get(), &AppState::startupFinished);
        ASSERT_TRUE(started.wait(30000));
    }

    static inline IdentityServiceProcess* identity = nullptr;
    fs::path folder = identity->folder();
    std::shared_ptr<CurlHttpClient> http_ =
        std::make_shared<CurlHttpClient>(CurlHttpClient::Options{.extraCaFile = identity->caFile()});
    CurlHttpClient& http = *http_;
    std::shared_ptr<identity::KeychainStore> store = std::make_shared<identity::KeychainStore>(
        std::make_shared<platform::SecretServiceKeychain>(), "com.parlomatic.session-faults");
    std::shared_ptr<identity::CredentialsManager> manager = std::make_shared<identity::CredentialsManager>(
        std::make_shared<identity::IdentityAuthentication>(IdentityServiceProcess::clientId, identity->issuer(), http_,
                                                           identity::Telemetry{.enabled = false, .info = {}}),
        "credentials", store, systemClock(), folder / "credentials.lock");
    // The daemon this program started, if any: it outlives the single tests.
    static inline std::unique_ptr<ChildProcess> keyring;
    std::unique_ptr<ChildProcess> standIn;
    std::unique_ptr<AppState> state;
    int watchers = 0;
    std::vector<QString> told;
    std::string refreshToken;
};

TEST_F(SessionFaultsTest, ASignOutTheKeyringMissedIsFinishedAtTheNextStartAndRevokesTheToken)
{
    storeSession();
    startState();
    ASSERT_TRUE(state->isAuthenticated());
    const auto held = manager->credentials(); // the start may have renewed the stored set
    ASSERT_TRUE(held && held->refreshToken());
    refreshToken = *held->refreshToken();

    stopKeyring();
    state->logout();
    EXPECT_FALSE(state->isAuthenticated());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !told.empty(); }, 10000));
    EXPECT_EQ(told.front(), QString::fromLatin1(AppState::signOutIncomplete));
    EXPECT_TRUE(state->isSignOutPending());
    state.reset(); // quit before the keyring came back
    QThreadPool::globalInstance()->waitForDone();

    startKeyring();
    EXPECT_EQ(manager->stored(), identity::CredentialsManager::Stored::renewable);
    watchers = 0;
    startState();
    EXPECT_FALSE(state->isAuthenticated());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !state->isSignOutPending(); }, 10000));
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_EQ(watchers, 0);
    EXPECT_EQ(manager->stored(), identity::CredentialsManager::Stored::nothing);
    EXPECT_FALSE(fs::exists(folder / "state" / "sign-out-pending"));
    const auto refresh = identity->post(
        http, "oauth/token",
        {{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}, {"client_id", "parlomatic-dev"}});
    EXPECT_EQ(refresh.first, 400) << "the refresh token still works";
}

TEST_F(SessionFaultsTest, ServicesThatDoNotAnswerKeepTheSessionAndOnlyARefusedTokenEndsIt)
{
    storeSession();
    identity->stop();
    startState();
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_TRUE(state->isReconnecting());
    EXPECT_EQ(manager->stored(), identity::CredentialsManager::Stored::renewable);
    {
        MenuBarView view(*state, [] {});
        ASSERT_FALSE(state->waitingForAuth());
        const auto actions = view.menu()->actions();
        ASSERT_GE(actions.size(), 2);
        EXPECT_EQ(actions[0]->text(), QString::fromLatin1(MenuBarView::reconnectingTitle));
        EXPECT_EQ(actions[1]->text(), QString::fromLatin1(MenuBarView::logOutTitle));
    }

    // Back on its port: the next attempt signs in and the watcher starts.
    ASSERT_TRUE(identity->start());
    ASSERT_TRUE(QTest::qWaitFor([this] { return state->isAuthenticated(); }, 15000));
    EXPECT_FALSE(state->isReconnecting());
    EXPECT_EQ(watchers, 1);

    // A keyring that cannot be read during a refresh (a Replace's) signs nobody out.
    stopKeyring();
    state->refreshSession(false);
    ASSERT_TRUE(QTest::qWaitFor([this] { return state->isReconnecting(); }, 10000));
    EXPECT_TRUE(state->isAuthenticated());
    startKeyring();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !state->isReconnecting(); }, 15000));
    EXPECT_TRUE(state->isAuthenticated());

    // The service refuses the refresh token: that ends the session.
    const auto stored = manager->credentials();
    ASSERT_TRUE(stored && stored->refreshToken());
    ASSERT_EQ(
        identity->post(http, "oauth/revoke", {{"token", *stored->refreshToken()}, {"client_id", "parlomatic-dev"}})
            .first,
        200);
    bool refreshed = false;
    state->refreshSession(true, [&] { refreshed = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return refreshed; }, 10000));
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_FALSE(state->isReconnecting());
}

} // namespace
} // namespace parlomatic
