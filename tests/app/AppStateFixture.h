#pragma once

// A session state over the real credentials manager: an in-memory keychain, a loopback HTTPS
// token endpoint, and fakes for the permission, the browser sign-in and the watcher.
#include "app/AppState.h"
#include "fakes/FakeKeychainBackend.h"
#include "identity/IdentityAuthentication.h"
#include "identity/keychain/KeychainStore.h"
#include "support/Base64Url.h"
#include "support/LoopbackServiceFixture.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <ctime>

namespace parlomatic::test {

struct FakePermission final : AccessibilityPermission {
    bool isTrusted() override { return trusted; }
    void requestAccess() override { ++requests; }
    bool trusted = false;
    int requests = 0;
};

inline std::string accessTokenFor(double expiry)
{
    return testing::makeToken(R"({"alg":"RS256"})", nlohmann::json{{"exp", expiry}, {"sub", "auth|7"}}.dump());
}

inline std::string idTokenFor(const std::string& email, std::optional<std::string> gender = std::nullopt)
{
    const nlohmann::json body{{"sub", "auth|7"}, {"email", email}, {"pm_gender", gender ? *gender : "none"}};
    return testing::makeToken(R"({"alg":"RS256"})", body.dump());
}

class AppStateFixture : public LoopbackServiceFixture {
protected:
    void SetUp() override
    {
        LoopbackServiceFixture::SetUp();
        auto authentication = std::make_shared<identity::IdentityAuthentication>(
            "client-1", server.baseUrl(), std::make_shared<CurlHttpClient>(trustingOptions()),
            identity::Telemetry{.enabled = false, .info = std::nullopt});
        auto keychain = std::make_shared<identity::KeychainStore>(backend, "app.parlomatic.tests");
        manager = std::make_shared<identity::CredentialsManager>(authentication, "credentials", keychain, systemClock(),
                                                                 folder / "credentials.lock");
    }

    void TearDown() override
    {
        state.reset();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
    }

    static double now() { return static_cast<double>(std::time(nullptr)); }

    static identity::Credentials tokenSet(const std::string& email = "new@example.com",
                                          std::optional<std::string> gender = std::nullopt, double lifetime = 3600,
                                          std::string refreshToken = "rt-new")
    {
        return {accessTokenFor(now() + lifetime), "Bearer", now() + lifetime, std::move(refreshToken),
                idTokenFor(email, std::move(gender))};
    }

    // The token endpoint's answer to a renewal.
    void renewTo(const std::string& email, std::optional<std::string> gender, double lifetime = 3600)
    {
        setReply(200, nlohmann::json{{"access_token", accessTokenFor(now() + lifetime)},
                                     {"token_type", "Bearer"},
                                     {"expires_in", lifetime},
                                     {"id_token", idTokenFor(email, std::move(gender))}}
                          .dump());
    }

    // Builds the state and waits for its start-up renewal to end.
    void start()
    {
        AppStateDependencies deps;
        deps.credentialsManager = manager;
        deps.accessibility = permission;
        deps.signIn = [this](std::function<void(SignInResult)> done) { pendingSignIn = std::move(done); };
        deps.startWatcher = [this] { return ++watchersStarted, std::make_unique<QObject>(); };
        deps.userMetadata = userMetadata;
        deps.accessibilityInterval = std::chrono::milliseconds(20);
        deps.tell = [this](const QString& message) { told.push_back(message); };
        deps.signOutPendingFile = folder / "sign-out-pending";
        deps.retryDelay = std::chrono::milliseconds(200);
        startupFinished = false;
        state = std::make_unique<AppState>(std::move(deps));
        QObject::connect(state.get(), &AppState::startupFinished, [this] { startupFinished = true; });
        ASSERT_TRUE(QTest::qWaitFor([this] { return startupFinished; }, 10'000));
    }

    // Completes the pending browser sign-in from a worker thread, as the listener may.
    void finishSignIn(SignInResult result)
    {
        ASSERT_TRUE(pendingSignIn);
        std::thread([done = std::move(pendingSignIn), result = std::move(result)] { done(result); }).join();
        ASSERT_TRUE(QTest::qWaitFor([this] { return !state->waitingForAuth(); }, 10'000));
    }

    QTemporaryDir lockDir;
    const std::filesystem::path folder{lockDir.path().toStdString()};
    std::shared_ptr<identity::FakeKeychainBackend> backend = std::make_shared<identity::FakeKeychainBackend>();
    std::shared_ptr<identity::CredentialsManager> manager;
    std::shared_ptr<FakePermission> permission = std::make_shared<FakePermission>();
    std::shared_ptr<const UserMetadata> userMetadata;
    std::function<void(SignInResult)> pendingSignIn;
    int watchersStarted = 0;
    std::vector<QString> told;
    bool startupFinished = false;
    std::unique_ptr<AppState> state;
};

} // namespace parlomatic::test
