// The credentials manager with the real keychain and a loopback token endpoint.
#include "CredentialsManagerFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

namespace parlomatic::identity {
namespace {

using namespace managertest;
using nlohmann::json;
using Code = CredentialsManagerError::Code;

TEST_F(CredentialsManagerTest, NoStoredSetOrNoRefreshTokenSendsNothing)
{
    EXPECT_EQ(manager->credentials().error().code(), Code::noCredentials);
    EXPECT_EQ(manager->renew().error().code(), Code::noCredentials);
    EXPECT_FALSE(manager->canRenew());
    EXPECT_FALSE(manager->hasValid());

    storeSet(-1, std::nullopt);
    EXPECT_FALSE(manager->canRenew());
    EXPECT_EQ(manager->credentials().error().code(), Code::noRefreshToken);
    EXPECT_EQ(tokenCalls(), 0);
}

// Expiring exactly now is still valid.
TEST_F(CredentialsManagerTest, ASetExpiringNowIsStillValid)
{
    const Credentials stored = storeSet(0);
    EXPECT_EQ(manager->credentials(), stored);
    EXPECT_EQ(tokenCalls(), 0);
}

TEST_F(CredentialsManagerTest, ExpiredSetIsRenewedAndReplacedWithARotatedRefreshToken)
{
    storeSet(-1);
    const auto renewed = manager->credentials();
    ASSERT_TRUE(renewed) << renewed.error().debugDescription();
    EXPECT_EQ(*renewed, Credentials("at-2", "Bearer", clock.now() + 3600, "rt-1", "id-2"));
    EXPECT_EQ(storedSet(), *renewed);
    EXPECT_EQ(lastBody(),
              (json{{"refresh_token", "rt-1"}, {"grant_type", "refresh_token"}, {"client_id", "client-1"}}));
    EXPECT_EQ(tokenCalls(), 1);

    storeSet(-1);
    setReply(200, R"({"access_token":"at-2","expires_in":3600,"refresh_token":"rt-2"})");
    ASSERT_TRUE(manager->credentials());
    EXPECT_EQ(storedSet()->refreshToken(), "rt-2");
    EXPECT_TRUE(manager->canRenew());
}

TEST_F(CredentialsManagerTest, RenewalErrorKeepsTheStoredSet)
{
    const Credentials stored = storeSet(-1);
    setReply(403, R"({"error":"invalid_grant","error_description":"Unknown or invalid refresh token."})");
    const auto result = manager->credentials();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code(), Code::renewFailed);
    ASSERT_TRUE(result.error().cause());
    EXPECT_EQ(result.error().cause()->code(), "invalid_grant");
    EXPECT_EQ(result.error().debugDescription(),
              "The credentials renewal failed. CAUSE: AuthenticationError(code: invalid_grant, description: Unknown "
              "or invalid refresh token., statusCode: 403)");
    EXPECT_EQ(storedSet(), stored);
    EXPECT_TRUE(manager->canRenew());
}

TEST_F(CredentialsManagerTest, StoreFailedKeepsThePreviousArchive)
{
    const Credentials stored = storeSet(-1);
    CredentialsManager readOnly(authentication, "credentials", std::make_shared<FailingWrites>(store), clock);
    EXPECT_EQ(readOnly.credentials().error().code(), Code::storeFailed);
    EXPECT_EQ(storedSet(), stored);
}

// A sign-out or sign-in during a renewal waits for it and then lands: the renewal's older tokens
// never overwrite it.
TEST_F(CredentialsManagerTest, SignOutAndSignInDuringTheRenewalWaitAndWin)
{
    const Credentials fresh("at-9", "Bearer", clock.now() + 3600, "rt-9", "id-9");
    const std::function<bool()> writers[] = {[&] { return manager->clear(); }, [&] { return manager->store(fresh); }};
    for (const auto& writer : writers) {
        storeSet(-1);
        std::atomic<pid_t> writerThread{0};
        std::optional<std::thread> thread;
        bool written = false;
        beforeAnswer = [&] {
            thread.emplace([&] {
                writerThread = gettid();
                written = writer();
            });
            EXPECT_TRUE(waitUntil([&] { return writerThread && blockedIn(getpid(), writerThread) == SYS_futex; }));
        };
        EXPECT_EQ(manager->credentials()->accessToken(), "at-2");
        beforeAnswer = nullptr;
        thread->join();
        EXPECT_TRUE(written);
        EXPECT_EQ(storedSet(), &writer == &writers[0] ? std::nullopt : std::optional(fresh));
    }
}

// Another program that clears or replaces the entry during the renewal is not undone either.
TEST_F(CredentialsManagerTest, AnotherWriterDuringTheRenewalIsNotOverwritten)
{
    storeSet(-1);
    beforeAnswer = [this] { EXPECT_TRUE(store->deleteEntry("credentials")); };
    EXPECT_EQ(manager->credentials().error().code(), Code::noCredentials);
    EXPECT_FALSE(storedSet());

    storeSet(-1, "rt-1");
    const Credentials fresh("at-9", "Bearer", clock.now() + 3600, "rt-9", "id-9");
    const std::string archive = fresh.archive();
    beforeAnswer = [&] { EXPECT_TRUE(store->setEntry(Bytes(archive.begin(), archive.end()), "credentials")); };
    EXPECT_EQ(manager->credentials().error().code(), Code::storeFailed);
    EXPECT_EQ(storedSet(), fresh);
}

TEST_F(CredentialsManagerTest, RenewIsForcedOnAValidSet)
{
    storeSet(3600);
    EXPECT_EQ(manager->renew()->accessToken(), "at-2");
    EXPECT_EQ(tokenCalls(), 1);
}

// The refresh token is revoked, then the set deleted; a failed revocation is logged and deletes all the same.
TEST_F(CredentialsManagerTest, SignOutRevokesAndDeletes)
{
    storeSet(100);
    EXPECT_EQ(manager->signOut(), CredentialsManager::SignOut::done);
    EXPECT_EQ(lastBody(), (json{{"token", "rt-1"}, {"client_id", "client-1"}}));
    EXPECT_FALSE(storedSet());

    storeSet(100);
    setReply(500, R"({"error":"server_error"})");
    EXPECT_EQ(manager->signOut(), CredentialsManager::SignOut::done);
    EXPECT_FALSE(storedSet());
    EXPECT_EQ(logs.lines().size(), 1u);
    EXPECT_EQ(manager->signOut(), CredentialsManager::SignOut::done); // nothing stored: nothing sent
    EXPECT_EQ(calls("/oauth/revoke"), 2);
}

} // namespace
} // namespace parlomatic::identity
