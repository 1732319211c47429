#include "app/MenuBarView.h"
#include "app/AppStateFixture.h"

#include "app/ShortcutsWindow.h"
#include "app/StartAtLogin.h"
#include "fakes/FakeClock.h"
#include "selection/WatchControl.h"
#include "service/Preferences.h"

#include <QKeySequenceEdit>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace parlomatic::test {
namespace {

// The menu as text: "-" for a separator, "(title)" for a disabled item, a submenu as
// "title[a,*b]" with "*" on the marked choice.
std::vector<std::string> describe(const QMenu& menu)
{
    std::vector<std::string> items;
    for (const QAction* action : menu.actions()) {
        if (action->isSeparator()) {
            items.emplace_back("-");
        } else if (action->menu()) {
            std::string text = action->text().toStdString() + "[";
            for (const QAction* choice : action->menu()->actions()) {
                text += (choice->isChecked() ? "*" : "") + choice->text().toStdString() + ",";
            }
            text.back() = ']';
            items.push_back(text);
        } else {
            const std::string title = action->text().toStdString();
            items.push_back(action->isEnabled() ? title : "(" + title + ")");
        }
    }
    return items;
}

class MenuBarViewTest : public AppStateFixture {
protected:
    void SetUp() override
    {
        AppStateFixture::SetUp();
        userMetadata = std::make_shared<service::UserMetadata>(http, server.hostAndPort());
    }

    void startWithMenu()
    {
        start();
        view = std::make_unique<app::MenuBarView>(*state, [] {});
    }

    void choose(const QString& title)
    {
        const auto all = view->menu()->findChildren<QAction*>(); // the submenu's choices too
        const auto found = std::ranges::find(all, title, &QAction::text);
        ASSERT_NE(found, all.end()) << title.toStdString();
        (*found)->trigger();
        QCoreApplication::processEvents(); // the choice runs after the menu has closed
    }

    void signIn(std::optional<std::string> gender)
    {
        state->applyCredentials(tokenSet("menu@example.com", std::move(gender)), true);
    }

    CurlHttpClient http{trustingOptions()};
    std::unique_ptr<app::MenuBarView> view;
};

using Items = std::vector<std::string>;

// The watcher's items: their place, and an application name shown as written.
TEST_F(MenuBarViewTest, SignedOutShowsSignInAndTheWatcherItemsBeforeStartAtLogin)
{
    QTemporaryDir dir;
    service::Preferences preferences(dir.filePath("Parlomatic.conf").toStdString());
    FakeClock clock;
    selection::WatchControl control(preferences, clock);
    startWithMenu();
    EXPECT_EQ(describe(*view->menu()),
              (Items{"Sign In...", "-", "Check for Updates...", "-", "-", "Start at Login", "Quit Parlomatic"}));
    view->setWatchControl(&control);
    EXPECT_EQ(describe(*view->menu()), (Items{"Sign In...", "-", "Check for Updates...", "-", "-", "Pause for 1 Hour",
                                              "-", "Start at Login", "Quit Parlomatic"}));
    control.pause();
    EXPECT_EQ(describe(*view->menu())[5], "Resume");
    control.setLastShown({.id = QStringLiteral("tj.desktop"), .name = QStringLiteral("Tom & Jerry")});
    EXPECT_EQ(describe(*view->menu())[6], "Don't Show in Tom && Jerry"); // "&" would mark a shortcut key

    choose("Sign In...");
    EXPECT_TRUE(pendingSignIn);
    EXPECT_EQ(describe(*view->menu()).front(), "(Loading...)");
    const auto signIn = std::exchange(pendingSignIn, {});
    choose("Loading...");
    EXPECT_FALSE(pendingSignIn); // no second sign-in from the menu
    pendingSignIn = signIn;
    finishSignIn(std::unexpected("The user cancelled the Web Auth operation."));
    EXPECT_EQ(describe(*view->menu()).front(), "Sign In..."); // Quit, the last item: app_session
}

TEST_F(MenuBarViewTest, SignedInShowsLogOutAndTheGenderThatAChoiceMarksAtOnceAndSends)
{
    startWithMenu();
    signIn(std::nullopt);
    EXPECT_EQ(describe(*view->menu()),
              (Items{"Log Out...", "-", "Check for Updates...", "-", "Preferred Gender[Masculine,Feminine]", "-",
                     "Start at Login", "Quit Parlomatic"}));
    state->setUpdateLabel("Update Now (v2.0.1)");
    EXPECT_EQ(describe(*view->menu())[2], "Update Now (v2.0.1)");

    choose("Masculine");
    EXPECT_EQ(describe(*view->menu())[4], "Preferred Gender[*Masculine,Feminine]");
    ASSERT_TRUE(waitForRequests(1));
    EXPECT_EQ(bodyOf(requests().back()), (nlohmann::json{{"gender", "masculine"}}));

    signIn("feminine"); // a token's own preference is marked
    EXPECT_EQ(describe(*view->menu())[4], "Preferred Gender[Masculine,*Feminine]");
    choose("Log Out...");
    ASSERT_TRUE(QTest::qWaitFor([this] { return describe(*view->menu()).front() == "Sign In..."; }, 5000));
    EXPECT_EQ(describe(*view->menu())[4], "-");
}

// A service or keyring that does not answer keeps the session; only a refused refresh token ends it.
// The attempts wait twice as long each time, up to the limit, and never hide "Log Out...".
TEST_F(MenuBarViewTest, UnreachableServicesKeepTheSessionAndOnlyARefusedTokenEndsIt)
{
    ASSERT_TRUE(manager->store(tokenSet("stored@example.com", std::nullopt, 3600, "rt-1")));
    setReply(503, std::string(R"({"error":"server_error","error_description":")") + std::string(2000, 'x') +
                      R"( secret-body"})");
    permission->trusted = true;
    maxRetryDelay = std::chrono::milliseconds(800);
    startWithMenu();
    const auto lines = logs.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines[0].starts_with("Failed with: The credentials renewal failed.")) << lines[0];
    EXPECT_EQ(lines[0].find("secret-body"), std::string::npos);
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_EQ(manager->credentials()->refreshToken(), "rt-1");
    const Items reconnecting{"(Reconnecting...)", "Log Out...",     "-", "Check for Updates...", "-", "-",
                             "Start at Login",    "Quit Parlomatic"};
    EXPECT_EQ(describe(*view->menu()), reconnecting);
    QSignalSpy waiting(state.get(), &app::AppState::waitingForAuthChanged);
    std::vector<long> delays;
    for (std::size_t attempts = 1; attempts <= 4; ++attempts) {
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return calls("/oauth/token") == attempts && state->renewalRetryDelay().count() > 0; }, 10'000));
        delays.push_back(static_cast<long>(state->renewalRetryDelay().count()));
        EXPECT_EQ(describe(*view->menu()), reconnecting);
    }
    EXPECT_EQ(delays, (std::vector<long>{200, 400, 800, 800}));
    EXPECT_EQ(waiting.count(), 0);

    renewTo("stored@example.com", std::nullopt); // the next attempt signs in and the watcher starts
    ASSERT_TRUE(QTest::qWaitFor([this] { return state->isAuthenticated(); }, 5000));
    EXPECT_FALSE(state->isReconnecting());
    EXPECT_EQ(watchersStarted, 1);

    // A keyring that does not answer, or is locked, during a refresh (a Replace's).
    for (const identity::OSStatus status : {identity::errSecIO, identity::errSecInteractionNotAllowed}) {
        backend->readStatus = status;
        state->refreshSession(false);
        ASSERT_TRUE(QTest::qWaitFor([this] { return state->isReconnecting(); }, 5000));
        EXPECT_TRUE(state->isAuthenticated());
        backend->readStatus.reset();
        ASSERT_TRUE(QTest::qWaitFor([this] { return !state->isReconnecting(); }, 5000));
        EXPECT_TRUE(state->isAuthenticated());
    }

    setReply(400, R"({"error":"invalid_grant"})");
    bool refreshed = false;
    state->refreshSession(true, [&] { refreshed = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return refreshed; }, 5000));
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_FALSE(state->isReconnecting());
}

// The network back: the kept session is renewed at once, not at the next attempt; Log Out ends the attempts.
TEST_F(MenuBarViewTest, TheNetworkBackRenewsAtOnceAndLogOutEndsTheAttempts)
{
    ASSERT_TRUE(manager->store(tokenSet()));
    setReply(503, R"({"error":"server_error"})");
    retryDelay = std::chrono::hours(1);
    startWithMenu();
    ASSERT_TRUE(state->isReconnecting());
    state->networkOnline();
    ASSERT_TRUE(
        QTest::qWaitFor([this] { return calls("/oauth/token") == 2 && state->renewalRetryDelay().count(); }, 10'000));
    EXPECT_EQ(state->renewalRetryDelay(), std::chrono::hours(1)); // from the first delay again
    choose("Log Out...");
    EXPECT_EQ(describe(*view->menu()).front(), "Sign In...");
    EXPECT_EQ(state->renewalRetryDelay().count(), 0);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !state->isSignOutPending(); }, 5000));
    state->networkOnline();
    EXPECT_EQ(calls("/oauth/token"), 2u);
}

// Without a usable keyring no session was kept: "Sign In...", whose session then lives in memory,
// told once; its "Log Out..." tells of no keyring it could not clean.
TEST_F(MenuBarViewTest, AKeyringThatCannotBeUsedOffersSignInAndKeepsTheSessionInMemory)
{
    ASSERT_TRUE(manager->store(tokenSet()));
    backend->readStatus = identity::errSecNotAvailable;
    backend->writeStatus = identity::errSecNotAvailable;
    startWithMenu();
    EXPECT_EQ(describe(*view->menu()).front(), "Sign In...");
    EXPECT_FALSE(state->isReconnecting());
    const QString inMemory = QString::fromLatin1(app::AppState::sessionInMemoryOnly).arg("no keyring is running");
    for (int round = 0; round < 2; ++round) {
        choose("Sign In...");
        finishSignIn(tokenSet("memory@example.com", std::nullopt, 3600, "rt-memory"));
        EXPECT_TRUE(state->isAuthenticated());
        EXPECT_EQ(manager->credentials()->refreshToken(), "rt-memory");
        EXPECT_EQ(told, std::vector{inMemory});
        EXPECT_EQ(logs.lines().back(), "Failed to store credentials!");
        choose("Log Out...");
        EXPECT_EQ(describe(*view->menu()).front(), "Sign In...");
        ASSERT_TRUE(QTest::qWaitFor([&] { return calls("/oauth/revoke") == std::size_t(round + 1); }, 5000));
    }
    EXPECT_EQ(told, std::vector{inMemory});
}

// The entry is the item's only state: one removed by hand shows unchecked when the menu opens next.
TEST_F(MenuBarViewTest, StartAtLoginWritesAndRemovesTheAutostartEntry)
{
    QTemporaryDir config;
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const QString entry = config.path() + "/autostart/parlomatic.desktop";
    startWithMenu();
    const auto item = [this] {
        const auto all = view->menu()->actions();
        return *std::ranges::find(all, QString(app::StartAtLogin::title), &QAction::text);
    };
    EXPECT_FALSE(item()->isChecked());

    item()->trigger();
    EXPECT_TRUE(item()->isChecked());
    ASSERT_TRUE(QFile::exists(entry));
    QProcess validate;
    validate.start("desktop-file-validate", {entry});
    ASSERT_TRUE(validate.waitForFinished());
    EXPECT_EQ(validate.exitCode(), 0) << validate.readAllStandardOutput().toStdString();
    EXPECT_TRUE(app::StartAtLogin(entry).isEnabled());

    item()->trigger();
    EXPECT_FALSE(QFile::exists(entry));

    item()->trigger();
    signIn(std::nullopt); // the menu is built anew from the file
    EXPECT_TRUE(item()->isChecked());
    QFile::remove(entry);
    emit view->menu()->aboutToShow();
    EXPECT_FALSE(item()->isChecked());
    qputenv("XDG_CONFIG_HOME", saved);
}

// Keys given to a second action leave the first; a bare letter is refused; a sequence is cut to its first
// combination; a cleared shortcut stays cleared in the file (an absent one would mean the default).
TEST(ShortcutsWindowTest, KeepsEachChangeAndRefusesKeysThatWouldTakeTyping)
{
    QTemporaryDir dir;
    const std::string file = dir.filePath("Parlomatic.conf").toStdString();
    service::Preferences preferences(file);
    app::ShortcutsWindow window(preferences, {});
    QSignalSpy changed(&window, &app::ShortcutsWindow::changed);
    const auto type = [&window](selection::ShortcutAction action, const char* keys) {
        window.editor(action)->setKeySequence(QKeySequence(QString::fromLatin1(keys)));
        emit window.editor(action)->editingFinished();
    };
    type(selection::ShortcutAction::improve, "Ctrl+Alt+E");
    EXPECT_TRUE(selection::storedShortcut(preferences, selection::ShortcutAction::translate).isEmpty());
    type(selection::ShortcutAction::replace, "R");
    EXPECT_EQ(window.editor(selection::ShortcutAction::replace)->keySequence(),
              selection::defaultShortcut(selection::ShortcutAction::replace));
    type(selection::ShortcutAction::translate, "Meta+T, Ctrl+X");
    EXPECT_EQ(changed.size(), 2);
    const service::Preferences reread(file);
    EXPECT_EQ(selection::storedShortcut(reread, selection::ShortcutAction::improve),
              QKeySequence(QStringLiteral("Ctrl+Alt+E")));
    EXPECT_EQ(selection::storedShortcut(reread, selection::ShortcutAction::replace),
              selection::defaultShortcut(selection::ShortcutAction::replace));
    EXPECT_EQ(selection::storedShortcut(reread, selection::ShortcutAction::translate),
              QKeySequence(QStringLiteral("Meta+T")));
    type(selection::ShortcutAction::translate, "");
    EXPECT_TRUE(selection::storedShortcut(service::Preferences(file), selection::ShortcutAction::translate).isEmpty());
}

} // namespace
} // namespace parlomatic::test
