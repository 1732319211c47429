#include "app/AppStateFixture.h"

namespace parlomatic::test {
namespace {

using identity::Credentials;

TEST_F(AppStateFixture, FirstStartWithoutCredentialsStaysSignedOutUnwatchedAndUnprompted)
{
    start();

    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_TRUE(requests().empty());
    // The re-check runs, but without a user nobody is asked and nothing is watched.
    permission->trusted = true;
    ASSERT_TRUE(QTest::qWaitFor([this] { return state->isAccessibilityEnabled(); }, 5000));
    EXPECT_FALSE(state->isCheckingAccessibility());
    EXPECT_EQ(permission->requests, 0);
    EXPECT_EQ(watchersStarted, 0);
}

// A restart renews and watches without asking (app_session); here the user comes from the start's ID token.
TEST_F(AppStateFixture, StartRenewsTheStoredSetAndBuildsTheUserOnlyFromTheStartsIdToken)
{
    ASSERT_TRUE(manager->store(tokenSet("stored@example.com"))); // still valid: only a forced renewal asks
    renewTo("renewed@example.com", "feminine", 1800);
    permission->trusted = true;

    start();

    ASSERT_EQ(requests().size(), 1u);
    EXPECT_TRUE(state->isAuthenticated());
    ASSERT_TRUE(state->user().has_value());
    EXPECT_EQ(state->user()->email, "renewed@example.com");
    EXPECT_EQ(state->preferredGender(), service::Gender::feminine);
    EXPECT_EQ(state->accessToken(), manager->credentials()->accessToken());
    ASSERT_TRUE(state->accessTokenExpiration().has_value());
    EXPECT_NEAR(*state->accessTokenExpiration(), now() + 1800, 5);
    EXPECT_TRUE(logs.lines().empty());

    // An expired access token: a refresh before a service call renews it, yet keeps the user as it is.
    const service::User user = *state->user();
    ASSERT_TRUE(manager->store(tokenSet("other@example.com", "masculine", -10)));
    renewTo("other@example.com", "masculine");
    bool done = false;
    state->refreshSession([&] { done = true; });
    EXPECT_TRUE(state->waitingForAuth());
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 10'000));
    EXPECT_FALSE(state->waitingForAuth());
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_EQ(state->user(), user);
    EXPECT_EQ(state->accessToken(), manager->credentials()->accessToken());
}

// Until the keyring lets the stored set be deleted, it is never taken up again, also not by the next start.
TEST_F(AppStateFixture, ASignOutTheKeyringMissedIsFinishedAtTheNextStartAndRevokesTheToken)
{
    ASSERT_TRUE(manager->store(tokenSet()));
    renewTo("new@example.com", std::nullopt);
    permission->trusted = true;
    start();
    ASSERT_TRUE(state->isAuthenticated());
    backend->readStatus = identity::errSecNotAvailable;
    state->logout();
    EXPECT_FALSE(state->isAuthenticated());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !told.empty(); }, 5000));
    EXPECT_EQ(told, std::vector{QString::fromLatin1(app::AppState::signOutIncomplete)});
    EXPECT_TRUE(state->isSignOutPending());
    state.reset(); // quit before the keyring came back
    QThreadPool::globalInstance()->waitForDone();

    backend->readStatus.reset();
    clearRequests();
    start();
    EXPECT_FALSE(state->isAuthenticated());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !state->isSignOutPending(); }, 5000));
    EXPECT_EQ(watchersStarted, 1);
    EXPECT_EQ(manager->stored(), identity::CredentialsManager::Stored::nothing);
    EXPECT_FALSE(std::filesystem::exists(folder / "sign-out-pending"));
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests().front().target, "/oauth/revoke");
}

// A sign-out goes on until a sign-in has replaced the set in the keyring: a cancelled one does not.
TEST_F(AppStateFixture, ACancelledSignInDoesNotStopAPendingSignOut)
{
    ASSERT_TRUE(manager->store(tokenSet()));
    renewTo("new@example.com", std::nullopt);
    start();
    backend->readStatus = identity::errSecIO;
    state->logout();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !told.empty(); }, 5000));
    state->login();
    finishSignIn(std::unexpected("The user cancelled the Web Auth operation."));
    backend->readStatus.reset();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !state->isSignOutPending(); }, 5000));
    EXPECT_EQ(manager->stored(), identity::CredentialsManager::Stored::nothing);
    EXPECT_EQ(calls("/oauth/revoke"), 1u);

    // A sign-in the keyring takes neither: its session is used (never the old stored set), and its
    // set replaces the old one once the keyring answers.
    state->login();
    finishSignIn(tokenSet("old@example.com", std::nullopt, 3600, "rt-old"));
    backend->readStatus = backend->writeStatus = identity::errSecIO;
    state->logout();
    state->login();
    finishSignIn(tokenSet("new@example.com", std::nullopt, 3600, "rt-new"));
    bool refreshed = false;
    state->refreshSession([&] { refreshed = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return refreshed; }, 5000));
    EXPECT_TRUE(state->isAuthenticated());
    backend->readStatus = backend->writeStatus = std::nullopt;
    ASSERT_TRUE(QTest::qWaitFor([this] { return !state->isSignOutPending() && !manager->hasUnsaved(); }, 5000));
    EXPECT_EQ(keptRefreshToken(), "rt-new");
}

// The service has retired the refresh token it renewed with: a keyring that does not read or take
// the new set right then must not lose it, nor end the session.
TEST_F(AppStateFixture, ARenewalsRotatedTokensOutliveAKeyringHiccup)
{
    start();
    state->login();
    finishSignIn(tokenSet("new@example.com", std::nullopt, 3600, "rt-1"));
    int rotation = 1;
    for (std::optional<identity::OSStatus>* hiccup : {&backend->readStatus, &backend->writeStatus}) {
        const std::string next = "rt-" + std::to_string(++rotation);
        renewTo("new@example.com", std::nullopt, 3600, next);
        beforeAnswer = [hiccup] { *hiccup = identity::errSecIO; };
        bool done = false;
        state->refreshSession(true, [&] { done = true; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 10'000));
        beforeAnswer = nullptr;
        EXPECT_TRUE(state->isAuthenticated());
        EXPECT_FALSE(state->isReconnecting());
        EXPECT_EQ(state->accessToken(), manager->credentials()->accessToken()); // also while the keyring fails
        hiccup->reset();
        ASSERT_TRUE(QTest::qWaitFor([&] { return keptRefreshToken() == next; }, 5000));
        EXPECT_EQ(bodyOf(requests().back())["refresh_token"], "rt-" + std::to_string(rotation - 1));
    }
    EXPECT_EQ(calls("/oauth/token"), 2u);
}

// A refusal without invalid_grant (a misconfigured client, a blocked user) neither ends the stored
// session nor is retried.
TEST_F(AppStateFixture, RefusalsWithoutInvalidGrantKeepTheStoredSetAndAreNotRetried)
{
    ASSERT_TRUE(manager->store(tokenSet()));
    for (const auto& [status, error] : {std::pair{401, "invalid_client"}, std::pair{403, "access_denied"}}) {
        setReply(status, nlohmann::json{{"error", error}}.dump());
        start();
        EXPECT_FALSE(state->isAuthenticated());
        EXPECT_FALSE(state->isReconnecting());
        EXPECT_EQ(state->renewalRetryDelay().count(), 0);
        EXPECT_EQ(manager->stored(), identity::CredentialsManager::Stored::renewable);
    }
}

TEST_F(AppStateFixture, SignInPromptsOnceAndTheWatcherStartsWhenThePermissionArrives)
{
    start();
    state->login();
    EXPECT_TRUE(state->waitingForAuth());
    finishSignIn(tokenSet("new@example.com", "masculine"));

    EXPECT_TRUE(state->isAuthenticated());
    EXPECT_EQ(state->user()->email, "new@example.com");
    EXPECT_EQ(permission->requests, 1);
    EXPECT_EQ(watchersStarted, 0);

    permission->trusted = true; // "Turn On"
    ASSERT_TRUE(QTest::qWaitFor([this] { return watchersStarted == 1; }, 5000));

    // Sign-out: the token empties, the user stays (the keyring and the watcher: app_session).
    state->logout();
    EXPECT_FALSE(state->isAuthenticated());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !state->isSignOutPending(); }, 5000));
    EXPECT_EQ(state->accessTokenValue(), std::optional<std::string>(""));
    EXPECT_FALSE(state->accessTokenExpiration().has_value());
    EXPECT_EQ(state->user()->email, "new@example.com");

    // A second sign-in in the same process asks nobody again.
    state->login();
    finishSignIn(tokenSet());
    EXPECT_TRUE(state->isAuthenticated());
    EXPECT_EQ(permission->requests, 1);
    EXPECT_EQ(watchersStarted, 1);
}

struct SignInFailure {
    const char* name;
    app::SignInResult result;
    std::string expectedLine;
};

class SignInFailureTest : public AppStateFixture, public ::testing::WithParamInterface<SignInFailure> {};

TEST_P(SignInFailureTest, LeavesTheUserSignedOutAndTheMenuIdle)
{
    start();
    const auto before = logs.lines().size();
    state->login();
    finishSignIn(GetParam().result);

    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_FALSE(state->accessTokenValue().has_value());
    const auto lines = logs.lines();
    EXPECT_EQ(std::vector(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()),
              GetParam().expectedLine.empty() ? std::vector<std::string>{} : std::vector{GetParam().expectedLine});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignInFailureTest,
    ::testing::Values(SignInFailure{"Cancelled", std::unexpected("The user cancelled the Web Auth operation."),
                                    "Failed! The user cancelled the Web Auth operation."},
                      // Cut at 300 bytes, which falls inside the "é": the line keeps whole characters only.
                      SignInFailure{"LongDescriptionIsCutOnACharacter",
                                    std::unexpected(std::string(299, 'd') + "\xC3\xA9" + std::string(500, 'e')),
                                    "Failed! " + std::string(299, 'd') + "..."},
                      // A keychain that refuses: MenuBarViewTest.AKeyringThatCannotBeUsed...
                      SignInFailure{"AccessTokenIsNoJwt",
                                    Credentials("opaque", "Bearer", 2e9, "rt", idTokenFor("a@b.c")), ""}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

} // namespace
} // namespace parlomatic::test
