#pragma once

// Credentials manager tests: the real keychain (gnome-keyring in the desktop harness), a loopback token endpoint.
#include "common/CurlHttpClient.h"
#include "fakes/FakeClock.h"
#include "identity/CredentialsManager.h"
#include "identity/IdentityAuthentication.h"
#include "identity/keychain/KeychainStore.h"
#include "platform/linux/SecretServiceKeychain.h"
#include "support/LoopbackServiceFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include <sys/types.h>

namespace parlomatic::identity::managertest {

using nlohmann::json;

inline constexpr const char* childVariable = "PARLOMATIC_MANAGER_CHILD";
inline constexpr const char* keychainService = "com.parlomatic.manager-tests";

// Polls the condition until it holds or the deadline passes.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10))
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
inline long blockedIn(pid_t process, pid_t thread)
{
    std::ifstream in("/proc/" + std::to_string(process) + "/task/" + std::to_string(thread) + "/syscall");
    long number = -1;
    in >> number;
    return number;
}

inline std::shared_ptr<HttpClient> trustingClient(const std::filesystem::path& caFile)
{
    return std::make_shared<CurlHttpClient>(CurlHttpClient::Options{.extraCaFile = caFile});
}

inline std::shared_ptr<KeychainStore> keychain()
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

class CredentialsManagerTest : public test::LoopbackServiceFixture {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("PARLOMATIC_DESKTOP_SESSION"), nullptr) << "run through scripts/desktop-session";
        LoopbackServiceFixture::SetUp();
        setReply(200, R"({"access_token":"at-2","token_type":"Bearer","expires_in":3600,"id_token":"id-2"})");
        authentication = std::make_shared<IdentityAuthentication>(
            "client-1", server.baseUrl(), trustingClient(server.caFile()), Telemetry{false, std::nullopt}, clock);
        store = keychain();
        ASSERT_TRUE(store->deleteAll());
        manager = std::make_unique<CredentialsManager>(authentication, "credentials", store, clock);
    }

    int calls(std::string_view path) const
    {
        return static_cast<int>(std::ranges::count(requests(), path, &test::RecordedRequest::target));
    }
    int tokenCalls() const { return calls("/oauth/token"); }

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

    json lastBody() const
    {
        const auto sent = requests();
        return sent.empty() ? json() : bodyOf(sent.back());
    }

    FakeClock clock{1'700'000'000.0};
    std::shared_ptr<IdentityAuthentication> authentication;
    std::shared_ptr<KeychainStore> store;
    std::unique_ptr<CredentialsManager> manager;
};

} // namespace parlomatic::identity::managertest
