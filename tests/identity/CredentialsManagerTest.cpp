// The credentials manager with the real keychain (gnome-keyring in the desktop harness) and a
// loopback token endpoint: renewal, sign-out, and concurrent retrievals.
#include "identity/CredentialsManager.h"
#include "common/CurlHttpClient.h"
#include "fakes/FakeClock.h"
#include "fakes/FakeKeychainBackend.h"
#include "identity/IdentityAuthentication.h"
#include "identity/keychain/KeychainStore.h"
#include "platform/linux/desktop/SecretServiceKeychain.h"
#include "support/LoopbackServiceFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

namespace parlomatic::identity {
namespace {

using nlohmann::json;
using Code = CredentialsManagerError::Code;

// Polls the condition until it holds or 10 s pass.
bool waitUntil(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The system call a thread is blocked in, or -1: the token endpoint holds its answer until the
// competing call provably waits for the lock.
long blockedIn(pid_t process, pid_t thread)
{
    std::ifstream in("/proc/" + std::to_string(process) + "/task/" + std::to_string(thread) + "/syscall");
    long number = -1;
    in >> number;
    return number;
}

class CredentialsManagerTest : public test::LoopbackServiceFixture {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("PARLOMATIC_DESKTOP_SESSION"), nullptr) << "run through scripts/desktop-session";
        LoopbackServiceFixture::SetUp();
        setReply(200, R"({"access_token":"at-2","token_type":"Bearer","expires_in":3600,"id_token":"id-2"})");
        ASSERT_TRUE(store->deleteAll());
    }

    int calls(std::string_view path) const
    {
        return static_cast<int>(std::ranges::count(requests(), path, &test::RecordedRequest::target));
    }
    int tokenCalls() const { return calls("/oauth/token"); }

    Credentials storeSet(double lifetime, std::optional<std::string> refreshToken = "rt-1")
    {
        Credentials credentials("at-1", "Bearer", clock.now() + lifetime, std::move(refreshToken), "id-1");
        EXPECT_TRUE(manager->store(credentials));
        return credentials;
    }
    std::optional<Credentials> storedSet()
    {
        const auto text = store->string("credentials");
        return text ? Credentials::unarchive(*text, clock.now()) : std::nullopt;
    }

    FakeClock clock{1'700'000'000.0};
    std::shared_ptr<IdentityAuthentication> authentication = std::make_shared<IdentityAuthentication>(
        "client-1", server.baseURL(), std::make_shared<CurlHttpClient>(trustingOptions()),
        Telemetry{.enabled = false, .info = {}}, clock);
    std::shared_ptr<KeychainStore> store = std::make_shared<KeychainStore>(
        std::make_shared<platform::SecretServiceKeychain>(), "com.parlomatic.manager-tests");
    std::unique_ptr<CredentialsManager> manager =
        std::make_unique<CredentialsManager>(authentication, "credentials", store, clock);
};

// Only an expired set with a refresh token is renewed (without a stored set: AppStateTest's first
// start), and replaced, also with a rotated refresh token.
TEST_F(CredentialsManagerTest, ExpiredSetIsRenewedAndReplaced)
{
    storeSet(-1, std::nullopt);
    EXPECT_EQ(manager->credentials().error().code(), Code::noRefreshToken);
    const Credentials expiringNow = storeSet(0);
    EXPECT_EQ(manager->credentials(), expiringNow);
    EXPECT_EQ(tokenCalls(), 0);

    storeSet(-1);
    const auto renewed = manager->credentials();
    ASSERT_TRUE(renewed) << renewed.error().debugDescription();
    EXPECT_EQ(*renewed, Credentials("at-2", "Bearer", clock.now() + 3600, "rt-1", "id-2"));
    EXPECT_EQ(storedSet(), *renewed);
    EXPECT_EQ(bodyOf(requests().back()),
              (json{{"refresh_token", "rt-1"}, {"grant_type", "refresh_token"}, {"client_id", "client-1"}}));
    EXPECT_EQ(tokenCalls(), 1);

    storeSet(-1);
    setReply(200, R"({"access_token":"at-2","expires_in":3600,"refresh_token":"rt-2"})");
    ASSERT_TRUE(manager->credentials());
    EXPECT_EQ(storedSet()->refreshToken(), "rt-2");
}

// That a failed renewal keeps the stored set: AppStateTest.FailedStartRenewalKeepsTheStoredSetAndLogsNoBody.
TEST_F(CredentialsManagerTest, FailedRenewalOrStoreIsReportedWithItsCause)
{
    storeSet(-1);
    setReply(403, R"({"error":"invalid_grant","error_description":"Unknown or invalid refresh token."})");
    EXPECT_EQ(manager->credentials().error().debugDescription(),
              "The credentials renewal failed. CAUSE: AuthenticationError(code: invalid_grant, description: Unknown "
              "or invalid refresh token., statusCode: 403)");

    // A keyring that does not take the renewed set: it is used all the same, and written later.
    setReply(200, R"({"access_token":"at-2","expires_in":3600,"refresh_token":"rt-2"})");
    const auto refusing = std::make_shared<FakeKeychainBackend>();
    const auto keychain = std::make_shared<KeychainStore>(refusing, "s");
    CredentialsManager readOnly(authentication, "credentials", keychain, clock);
    ASSERT_TRUE(readOnly.store(Credentials("at-1", "Bearer", clock.now() - 1, "rt-1", "id-1")));
    refusing->writeStatus = errSecInteractionNotAllowed;
    EXPECT_EQ(readOnly.credentials()->refreshToken(), "rt-2");
    EXPECT_EQ(readOnly.saveUnsaved().error().kind, CredentialsStorage::Failure::Kind::unusable);
    refusing->writeStatus.reset();
    EXPECT_EQ(readOnly.credentials()->refreshToken(), "rt-2");
    EXPECT_FALSE(readOnly.hasUnsaved());
    EXPECT_EQ(Credentials::unarchive(*keychain->string("credentials"), clock.now())->refreshToken(), "rt-2");
}

// A failed revocation is logged, without a token, and deletes all the same (a revocation that
// works: AppStateTest).
TEST_F(CredentialsManagerTest, SignOutRevokesAndDeletes)
{
    storeSet(100);
    setReply(500, R"({"error":"server_error"})");
    EXPECT_EQ(manager->signOut(), CredentialsManager::SignOut::done);
    EXPECT_FALSE(storedSet());
    EXPECT_EQ(manager->signOut(), CredentialsManager::SignOut::done); // nothing stored: nothing sent
    EXPECT_EQ(calls("/oauth/revoke"), 1);
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"The refresh token could not be revoked at the identity service "
                                                     "(server_error, status 500); deleting it here all the same"});
}

// Whatever runs during a renewal wins over it. Another manager of the same store (as another
// process, meeting it only at the lock file's flock) and the same manager's threads, also without a
// lock file, wait for it: a retrieval takes the renewed set, a sign-in or sign-out lands after it.
// Another program's write straight to the keyring is not undone.
TEST_F(CredentialsManagerTest, WhatRunsDuringARenewalWinsOverIt)
{
    CredentialsManager other(authentication, "credentials", store, clock);
    CredentialsManager lockless(authentication, "credentials", store, clock, std::filesystem::path());
    const Credentials renewed("at-2", "Bearer", clock.now() + 3600, "rt-1", "id-2");
    const Credentials fresh("at-9", "Bearer", clock.now() + 3600, "rt-9", "id-9");
    const std::string archive = fresh.archive();
    using Result = CredentialsManager::Result;
    const auto failed = [](Code code) { return Result(std::unexpected(CredentialsManagerError(code))); };
    // `waits`: what runs meanwhile meets the renewal's lock; otherwise it is let finish first (a
    // keyring call passes through futexes of its own on its way).
    const std::tuple<CredentialsManager&, std::function<void()>, bool, Result, std::optional<Credentials>> cases[] = {
        {*manager, [&] { EXPECT_EQ(other.credentials(), renewed); }, true, renewed, renewed},
        {*manager, [&] { EXPECT_TRUE(other.store(fresh)); }, true, renewed, fresh},
        {lockless, [&] { EXPECT_EQ(lockless.signOut(), CredentialsManager::SignOut::done); }, true, renewed,
         std::nullopt},
        {lockless, [&] { EXPECT_TRUE(lockless.store(fresh)); }, true, renewed, fresh},
        {*manager, [&] { EXPECT_TRUE(store->deleteEntry("credentials")); }, false, failed(Code::noCredentials),
         std::nullopt},
        {*manager, [&] { EXPECT_TRUE(store->setEntry(Bytes(archive.begin(), archive.end()), "credentials")); }, false,
         failed(Code::storeFailed), fresh},
    };
    for (const auto& [renewing, meanwhile, waits, result, left] : cases) {
        storeSet(-1);
        std::atomic<pid_t> waiter{0};
        std::atomic<bool> finished{false};
        std::optional<std::thread> thread;
        beforeAnswer = [&] {
            if (thread) {
                return;
            }
            thread.emplace([&] {
                waiter = gettid();
                meanwhile();
                finished = true;
            });
            EXPECT_TRUE(waitUntil([&] {
                const long call = waiter && waits ? blockedIn(getpid(), waiter) : -1;
                return finished || call == SYS_flock || call == SYS_futex;
            }));
        };
        EXPECT_EQ(renewing.credentials(), result);
        beforeAnswer = nullptr;
        thread->join();
        EXPECT_EQ(storedSet(), left);
    }
    EXPECT_EQ(tokenCalls(), 6);
}

} // namespace
} // namespace parlomatic::identity
