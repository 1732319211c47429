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

#include <algorithm>
#include <ctime>

namespace parlomatic::test {

struct FakePermission final : app::AccessibilityPermission {
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
            "client-1", server.baseURL(), std::make_shared<CurlHttpClient>(trustingOptions()),
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

    // The token endpoint's answer to a renewal; with a refresh token, the service rotates it.
    void renewTo(const std::string& email, std::optional<std::string> gender, double lifetime = 3600,
                 std::optional<std::string> refreshToken = std::nullopt)
    {
        nlohmann::json body{{"access_token", accessTokenFor(now() + lifetime)},
                            {"token_type", "Bearer"},
                            {"expires_in", lifetime},
                            {"id_token", idTokenFor(email, std::move(gender))}};
        if (refreshToken) {
            body["refresh_token"] = *refreshToken;
        }
        setReply(200, body.dump());
    }

    std::size_t calls(std::string_view target) const
    {
        return static_cast<std::size_t>(std::ranges::count(requests(), target, &RecordedRequest::target));
    }

    // The refresh token of the set the keychain holds now.
    std::optional<std::string> keptRefreshToken()
    {
        const auto text = identity::KeychainStore(backend, "app.parlomatic.tests").string("credentials");
        const auto kept = text ? identity::Credentials::unarchive(*text, now()) : std::nullopt;
        return kept ? kept->refreshToken() : std::nullopt;
    }

    // Builds the state and waits for its start-up renewal to end.
    void start()
    {
        app::AppStateDependencies deps;
        deps.credentialsManager = manager;
        deps.accessibility = permission;
        deps.signIn = [this](std::function<void(app::SignInResult)> done) { pendingSignIn = std::move(done); };
        deps.startWatcher = [this] { return ++watchersStarted, std::make_unique<QObject>(); };
        deps.userMetadata = userMetadata;
        deps.accessibilityInterval = std::chrono::milliseconds(20);
        deps.tell = [this](const QString& message) { told.push_back(message); };
        deps.signOutPendingFile = folder / "sign-out-pending";
        deps.retryDelay = retryDelay;
        deps.maxRetryDelay = maxRetryDelay;
        startupFinished = false;
        state = std::make_unique<app::AppState>(std::move(deps));
        QObject::connect(state.get(), &app::AppState::startupFinished, [this] { startupFinished = true; });
        ASSERT_TRUE(QTest::qWaitFor([this] { return startupFinished; }, 10'000));
    }

    // Completes the pending browser sign-in from a worker thread, as the listener may.
    void finishSignIn(app::SignInResult result)
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
    std::shared_ptr<const service::UserMetadata> userMetadata;
    std::function<void(app::SignInResult)> pendingSignIn;
    std::chrono::milliseconds retryDelay{200};
    std::chrono::milliseconds maxRetryDelay{std::chrono::minutes(5)};
    int watchersStarted = 0;
    std::vector<QString> told;
    bool startupFinished = false;
    std::unique_ptr<app::AppState> state;
};

} // namespace parlomatic::test
