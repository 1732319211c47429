// Concurrent retrievals in threads and processes, and what may be printed or logged.
#include "CredentialsManagerFixture.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace parlomatic::identity {
namespace {

using namespace managertest;
using nlohmann::json;
using Code = CredentialsManagerError::Code;

// Two retrievals in two threads, through one manager or through two managers of the same store.
class TwoThreadsTest : public CredentialsManagerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TwoThreadsTest, RenewOnce)
{
    const bool separateManagers = GetParam();
    CredentialsManager other(authentication, "credentials", store, clock);
    CredentialsManager& secondManager = separateManagers ? other : *manager;
    storeSet(-1);
    std::atomic<pid_t> threadA{0};
    std::atomic<pid_t> threadB{0};
    // The first renewal is answered once the other retrieval waits for the lock (or, were there
    // no lock, has sent its own renewal). Two managers meet only at the lock file, so there the
    // wait is exactly the flock call.
    beforeAnswer = [&] {
        waitUntil([&] {
            const auto waiting = [&](pid_t thread) {
                const long call = thread ? blockedIn(getpid(), thread) : -1;
                return call == SYS_flock || (!separateManagers && call == SYS_futex);
            };
            return tokenCalls() == 2 || waiting(threadA) || waiting(threadB);
        });
    };
    std::optional<CredentialsManager::Result> first;
    std::optional<CredentialsManager::Result> second;
    std::thread a([&] {
        threadA = gettid();
        first = manager->credentials();
    });
    std::thread b([&] {
        threadB = gettid();
        second = secondManager.credentials();
    });
    a.join();
    b.join();
    beforeAnswer = nullptr;
    EXPECT_EQ(tokenCalls(), 1);
    ASSERT_TRUE(first && *first && second && *second);
    EXPECT_EQ((*first)->accessToken(), "at-2");
    EXPECT_EQ(**first, **second);
}

INSTANTIATE_TEST_SUITE_P(Managers, TwoThreadsTest, ::testing::Values(false, true),
                         [](const auto& testCase) { return testCase.param ? "TwoManagers" : "OneManager"; });

// The child side of TwoProcessesRenewOnce: skipped unless started by it.
TEST(CredentialsManagerChild, RetrieveOnce)
{
    const char* setting = std::getenv(childVariable);
    if (!setting) {
        GTEST_SKIP() << "started only by TwoProcessesRenewOnce";
    }
    std::istringstream fields(setting);
    std::string url, caFile, marker, result;
    std::getline(fields, url, '|');
    std::getline(fields, caFile, '|');
    std::getline(fields, marker, '|');
    std::getline(fields, result, '|');
    auto authentication = std::make_shared<IdentityAuthentication>("client-1", url, trustingClient(caFile));
    CredentialsManager manager(authentication, "credentials", keychain());
    std::ofstream(marker) << "started";
    const auto credentials = manager.credentials();
    ASSERT_TRUE(credentials) << credentials.error().debugDescription();
    std::ofstream(result) << credentials->accessToken();
}

TEST_F(CredentialsManagerTest, TwoProcessesRenewOnce)
{
    const char* sessionDir = std::getenv("PARLOMATIC_SESSION_DIR");
    ASSERT_NE(sessionDir, nullptr);
    const std::string marker = std::string(sessionDir) + "/manager-child-started";
    const std::string result = std::string(sessionDir) + "/manager-child-result";
    std::filesystem::remove(marker);
    std::filesystem::remove(result);

    auto systemAuthentication = std::make_shared<IdentityAuthentication>(
        "client-1", server.baseUrl(), trustingClient(server.caFile()), Telemetry{false, std::nullopt});
    CredentialsManager parent(systemAuthentication, "credentials", store);
    ASSERT_TRUE(parent.store(Credentials("at-1", "Bearer", systemClock().now() - 10, "rt-1", "id-1")));

    // The first renewal is answered once the other process waits for the lock (or, were there
    // no lock, has sent its own renewal).
    const pid_t parentThread = gettid();
    std::atomic<pid_t> childProcess{0};
    beforeAnswer = [&] {
        waitUntil([&] {
            const pid_t child = childProcess;
            return tokenCalls() == 2 || blockedIn(getpid(), parentThread) == SYS_flock ||
                   (child && blockedIn(child, child) == SYS_flock);
        });
    };

    test::ChildProcess child(
        {std::filesystem::read_symlink("/proc/self/exe"), "--gtest_filter=CredentialsManagerChild.RetrieveOnce"},
        {{childVariable, server.baseUrl() + "|" + server.caFile().string() + "|" + marker + "|" + result}});
    ASSERT_TRUE(child.started());
    childProcess = child.pid();

    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(marker); }));
    const auto mine = parent.credentials();

    EXPECT_EQ(child.waitForExit(std::chrono::seconds(30)), 0);
    ASSERT_TRUE(mine) << mine.error().debugDescription();
    std::string theirs;
    std::ifstream(result) >> theirs;
    EXPECT_EQ(tokenCalls(), 1);
    EXPECT_EQ(mine->accessToken(), "at-2");
    EXPECT_EQ(theirs, "at-2");
}

TEST_F(CredentialsManagerTest, NoSecretInLogsOrPrintedForms)
{
    storeSet(-1);
    setReply(400, R"({"error":"invalid_grant"})");
    const auto failed = manager->credentials();
    ASSERT_FALSE(failed);
    setReply(200, R"({"access_token":"at-2","expires_in":3600,"refresh_token":"rt-2","id_token":"id-2"})");
    const auto renewed = manager->credentials();
    ASSERT_TRUE(renewed);
    EXPECT_EQ(manager->signOut(), CredentialsManager::SignOut::done);
    std::vector<std::string> printed = logs.lines();
    printed.push_back(failed.error().debugDescription());
    printed.push_back(renewed->description());
    for (const std::string& text : printed) {
        for (const char* secret : {"at-1", "at-2", "rt-1", "rt-2", "id-1", "id-2"}) {
            EXPECT_EQ(text.find(secret), std::string::npos) << text;
        }
    }
}

} // namespace
} // namespace parlomatic::identity
