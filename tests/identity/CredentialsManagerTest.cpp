// The credentials manager with the real keychain (gnome-keyring in the desktop harness) and a
// loopback HTTPS token endpoint.
#include "identity/CredentialsManager.h"
#include "common/CurlHttpClient.h"
#include "fakes/FakeClock.h"
#include "identity/IdentityAuthentication.h"
#include "identity/keychain/KeychainStore.h"
#include "platform/linux/SecretServiceKeychain.h"
#include "support/LogCapture.h"
#include "support/TlsTestServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace parlomatic::identity {
namespace {

using nlohmann::json;
using Code = CredentialsManagerError::Code;

constexpr const char* childVariable = "PARLOMATIC_MANAGER_CHILD";
constexpr const char* keychainService = "com.parlomatic.manager-tests";

// Polls the condition until it holds or the deadline passes.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The system call a thread is blocked in, or -1. Lets the token endpoint hold its answer until
// the competing retrieval is provably waiting for the lock.
long blockedIn(pid_t process, pid_t thread)
{
    std::ifstream in("/proc/" + std::to_string(process) + "/task/" + std::to_string(thread) + "/syscall");
    long number = -1;
    in >> number;
    return number;
}

std::shared_ptr<HttpClient> trustingClient(const std::filesystem::path& caFile)
{
    CurlHttpClient::Options options;
    options.extraCaFile = caFile;
    return std::make_shared<CurlHttpClient>(options);
}

std::shared_ptr<KeychainStore> keychain()
{
    return std::make_shared<KeychainStore>(std::make_shared<platform::SecretServiceKeychain>(), keychainService);
}

// Reads from the keychain, never manages to write.
class FailingWrites final : public CredentialsStorage {
public:
    explicit FailingWrites(std::shared_ptr<KeychainStore> inner) : m_inner(std::move(inner)) {}
    std::optional<Bytes> getEntry(std::string_view key) override { return m_inner->getEntry(key); }
    bool setEntry(const Bytes&, std::string_view) override { return false; }
    bool deleteEntry(std::string_view key) override { return m_inner->deleteEntry(key); }

private:
    std::shared_ptr<KeychainStore> m_inner;
};

class CredentialsManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("PARLOMATIC_DESKTOP_SESSION"), nullptr) << "run through scripts/desktop-session";
        const auto handler = [this](const char* kind) {
            return [this, kind](const httplib::Request& request, httplib::Response& response) {
                (std::string(kind) == "token" ? tokenCalls : revokeCalls)++;
                {
                    std::lock_guard lock(mutex);
                    bodies.push_back(json::parse(request.body, nullptr, false));
                }
                if (beforeAnswer) {
                    beforeAnswer();
                }
                std::lock_guard lock(mutex);
                response.status = status;
                if (!answer.empty()) {
                    response.set_content(answer, "application/json");
                }
            };
        };
        server.server().Post("/oauth/token", handler("token"));
        server.server().Post("/oauth/revoke", handler("revoke"));
        ASSERT_TRUE(server.start());
        authentication = std::make_shared<IdentityAuthentication>(
            "client-1", server.baseUrl(), trustingClient(server.caFile()), Telemetry{false, std::nullopt}, clock);
        store = keychain();
        ASSERT_TRUE(store->deleteAll());
        manager = std::make_unique<CredentialsManager>(authentication, "credentials", store, clock);
    }

    void reply(int newStatus, std::string body)
    {
        std::lock_guard lock(mutex);
        status = newStatus;
        answer = std::move(body);
    }

    Credentials storeSet(double lifetime, std::optional<std::string> refreshToken = "rt-1",
                         std::optional<std::string> scope = std::nullopt)
    {
        Credentials credentials("at-1", "Bearer", clock.now() + lifetime, std::move(refreshToken), "id-1",
                                std::move(scope));
        EXPECT_TRUE(manager->store(credentials));
        return credentials;
    }

    std::optional<Credentials> storedSet()
    {
        const auto text = store->string("credentials");
        return text ? Credentials::unarchive(*text, clock.now()) : std::nullopt;
    }

    json lastBody()
    {
        std::lock_guard lock(mutex);
        return bodies.empty() ? json() : bodies.back();
    }

    test::TlsTestServer server;
    FakeClock clock{1'700'000'000.0};
    std::shared_ptr<IdentityAuthentication> authentication;
    std::shared_ptr<KeychainStore> store;
    std::unique_ptr<CredentialsManager> manager;

    std::atomic<int> tokenCalls{0};
    std::atomic<int> revokeCalls{0};
    std::function<void()> beforeAnswer;
    std::mutex mutex;
    std::vector<json> bodies;
    int status = 200;
    std::string answer = R"({"access_token":"at-2","token_type":"Bearer","expires_in":3600,"id_token":"id-2"})";
};

TEST_F(CredentialsManagerTest, NoStoredSet)
{
    EXPECT_EQ(manager->credentials().error().code(), Code::noCredentials);
    EXPECT_EQ(manager->renew().error().code(), Code::noCredentials);
    EXPECT_FALSE(manager->canRenew());
    EXPECT_FALSE(manager->hasValid());
    EXPECT_EQ(tokenCalls, 0);
}

TEST_F(CredentialsManagerTest, ExpiringExactlyNowIsStillValid)
{
    const Credentials stored = storeSet(0);
    EXPECT_EQ(manager->credentials(), stored);
    EXPECT_TRUE(manager->hasValid());
    EXPECT_FALSE(manager->hasValid(1));
    EXPECT_EQ(tokenCalls, 0);
}

TEST_F(CredentialsManagerTest, ExpiredSetIsRenewedAndReplaced)
{
    storeSet(-1);
    const auto renewed = manager->credentials();
    ASSERT_TRUE(renewed) << renewed.error().debugDescription();
    EXPECT_EQ(*renewed, Credentials("at-2", "Bearer", clock.now() + 3600, "rt-1", "id-2"));
    EXPECT_EQ(storedSet(), *renewed);
    EXPECT_EQ(lastBody(),
              (json{{"refresh_token", "rt-1"}, {"grant_type", "refresh_token"}, {"client_id", "client-1"}}));
    EXPECT_EQ(tokenCalls, 1);
}

TEST_F(CredentialsManagerTest, MinTTLBoundary)
{
    storeSet(60);
    EXPECT_EQ(manager->credentials(std::nullopt, 60)->accessToken(), "at-1");
    clock.advance(1);
    EXPECT_EQ(manager->credentials(std::nullopt, 60)->accessToken(), "at-2");
    EXPECT_EQ(tokenCalls, 1);
}

TEST_F(CredentialsManagerTest, ScopeWordsInAnotherOrderAndCaseAreUnchanged)
{
    storeSet(100, "rt-1", "openid Profile email");
    EXPECT_EQ(manager->credentials("EMAIL openid  profile")->accessToken(), "at-1");
    EXPECT_EQ(tokenCalls, 0);
    EXPECT_EQ(manager->credentials("openid email")->accessToken(), "at-2");
    EXPECT_EQ(lastBody()["scope"], "openid email");
}

TEST_F(CredentialsManagerTest, NoRefreshToken)
{
    storeSet(-1, std::nullopt);
    EXPECT_FALSE(manager->canRenew());
    EXPECT_EQ(manager->credentials().error().code(), Code::noRefreshToken);
    EXPECT_EQ(tokenCalls, 0);
}

TEST_F(CredentialsManagerTest, RotatedRefreshTokenReplacesTheOldOne)
{
    storeSet(-1);
    reply(200, R"({"access_token":"at-2","expires_in":3600,"refresh_token":"rt-2"})");
    ASSERT_TRUE(manager->credentials());
    EXPECT_EQ(storedSet()->refreshToken(), "rt-2");
    EXPECT_TRUE(manager->canRenew());
}

TEST_F(CredentialsManagerTest, RenewalErrorKeepsTheStoredSet)
{
    const Credentials stored = storeSet(-1);
    reply(403, R"({"error":"invalid_grant","error_description":"Unknown or invalid refresh token."})");
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

TEST_F(CredentialsManagerTest, RenewedTokenShorterThanMinTTL)
{
    const Credentials stored = storeSet(-1);
    reply(200, R"({"access_token":"at-2","expires_in":30})");
    const auto result = manager->credentials(std::nullopt, 60);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), CredentialsManagerError::largeMinTTL(60, 30));
    EXPECT_EQ(storedSet(), stored);
}

TEST_F(CredentialsManagerTest, StoreFailedKeepsThePreviousArchive)
{
    const Credentials stored = storeSet(-1);
    CredentialsManager readOnly(authentication, "credentials", std::make_shared<FailingWrites>(store), clock);
    EXPECT_EQ(readOnly.credentials().error().code(), Code::storeFailed);
    EXPECT_EQ(storedSet(), stored);
}

TEST_F(CredentialsManagerTest, RenewIsForcedAndSendsExtras)
{
    storeSet(3600);
    const auto renewed = manager->renew({{"audience", "api"}}, {{"X-Trace", "1"}});
    ASSERT_TRUE(renewed);
    EXPECT_EQ(renewed->accessToken(), "at-2");
    EXPECT_EQ(lastBody()["audience"], "api");
}

TEST_F(CredentialsManagerTest, ClearAndRevoke)
{
    storeSet(100);
    EXPECT_TRUE(manager->clear());
    EXPECT_FALSE(manager->canRenew());
    EXPECT_FALSE(manager->clear());

    storeSet(100);
    reply(500, R"({"error":"server_error"})");
    EXPECT_EQ(manager->revoke().error().code(), Code::revokeFailed);
    EXPECT_TRUE(manager->canRenew());

    reply(200, "{}");
    ASSERT_TRUE(manager->revoke());
    EXPECT_EQ(lastBody(), (json{{"token", "rt-1"}, {"client_id", "client-1"}}));
    EXPECT_FALSE(storedSet());
    EXPECT_EQ(manager->revoke().error().code(), Code::noCredentials);
    EXPECT_EQ(revokeCalls, 2);
}

TEST_F(CredentialsManagerTest, TwoThreadsRenewOnce)
{
    storeSet(-1);
    std::atomic<pid_t> threadA{0};
    std::atomic<pid_t> threadB{0};
    // The first renewal is answered once the other retrieval waits for the lock (or, were there
    // no lock, has sent its own renewal).
    beforeAnswer = [&] {
        waitUntil([&] {
            const auto waiting = [](pid_t thread) {
                const long call = thread ? blockedIn(getpid(), thread) : -1;
                return call == SYS_futex || call == SYS_flock;
            };
            return tokenCalls == 2 || waiting(threadA) || waiting(threadB);
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
        second = manager->credentials();
    });
    a.join();
    b.join();
    EXPECT_EQ(tokenCalls, 1);
    ASSERT_TRUE(first && *first && second && *second);
    EXPECT_EQ((*first)->accessToken(), "at-2");
    EXPECT_EQ(**first, **second);
}

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
            return tokenCalls == 2 || blockedIn(getpid(), parentThread) == SYS_flock ||
                   (child && blockedIn(child, child) == SYS_flock);
        });
    };

    const std::string setting = std::string(childVariable) + "=" + server.baseUrl() + "|" + server.caFile().string() +
                                "|" + marker + "|" + result;
    std::vector<std::string> environment{setting};
    for (char** entry = environ; *entry; ++entry) {
        environment.emplace_back(*entry);
    }
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string program = "/proc/self/exe";
    std::string filter = "--gtest_filter=CredentialsManagerChild.RetrieveOnce";
    char* argv[] = {program.data(), filter.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, envp.data()), 0);
    childProcess = child;

    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(marker); }));
    const auto mine = parent.credentials();

    int childStatus = 0;
    const bool ended =
        waitUntil([&] { return waitpid(child, &childStatus, WNOHANG) == child; }, std::chrono::seconds(30));
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &childStatus, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0);
    ASSERT_TRUE(mine) << mine.error().debugDescription();
    std::string theirs;
    std::ifstream(result) >> theirs;
    EXPECT_EQ(tokenCalls, 1);
    EXPECT_EQ(mine->accessToken(), "at-2");
    EXPECT_EQ(theirs, "at-2");
}

TEST_F(CredentialsManagerTest, NoSecretInLogsOrPrintedForms)
{
    test::LogCapture logs;
    storeSet(-1);
    reply(400, R"({"error":"invalid_grant"})");
    const auto failed = manager->credentials();
    ASSERT_FALSE(failed);
    reply(200, R"({"access_token":"at-2","expires_in":3600,"refresh_token":"rt-2","id_token":"id-2"})");
    const auto renewed = manager->credentials();
    ASSERT_TRUE(renewed);
    ASSERT_TRUE(manager->revoke());
    for (const std::string& printed : {failed.error().debugDescription(), renewed->description()}) {
        for (const char* secret : {"at-1", "at-2", "rt-1", "rt-2", "id-1", "id-2"}) {
            EXPECT_EQ(printed.find(secret), std::string::npos) << printed;
        }
    }
    for (const auto& line : logs.lines()) {
        for (const char* secret : {"at-1", "at-2", "rt-1", "rt-2", "id-1", "id-2"}) {
            EXPECT_EQ(line.find(secret), std::string::npos) << line;
        }
    }
}

} // namespace
} // namespace parlomatic::identity
