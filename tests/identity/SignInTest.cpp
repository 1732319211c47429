// Sign-in against the development identity service as scripts/run starts it (loopback TLS,
// persisted keys and accounts, "pm_gender" from the text service's store), with the real loopback
// listener and a script standing in for the person at the browser.
#include "GenderStore.h"
#include "common/CurlHttpClient.h"
#include "identity/IdentityWebAuth.h"
#include "identity/LoginTransaction.h"
#include "identity/SystemBrowserSession.h"
#include "identity/URLText.h"
#include "support/IdentityServiceProcess.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>

namespace parlomatic::identity {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ChildProcess;

constexpr const char* schemeRedirect = "app.parlomatic.test:/callback";

class SignInTest : public ::testing::Test {
protected:
    static fs::path directory() { return fs::temp_directory_path() / ("pm-signin-" + std::to_string(::getpid())); }
    // The provider is one program for the whole suite: starting Node is the slow part.
    static void SetUpTestSuite()
    {
        provider = std::make_unique<test::IdentityServiceProcess>(
            directory(),
            std::vector<std::string>{"--redirect-uri", "http://127.0.0.1/callback", "--redirect-uri", schemeRedirect});
        ASSERT_TRUE(provider->ready() && provider->start()) << "the identity service did not start (npm ci in "
                                                               "services/identity, see scripts/setup)";
    }
    static void TearDownTestSuite() { provider.reset(); }

    void SetUp() override { ASSERT_TRUE(provider && provider->port() > 0) << "no identity service"; }

    // Sends a browser run by a script, signing in as the account, to the last authorize URL;
    // `desktopOpener` takes the other schemes.
    bool browse(const std::string& desktopOpener = "false")
    {
        m_browsers.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{"node", test::sourceDir() + "/tests/identity/browser.mjs", lastAuthorizeURL()},
            std::map<std::string, std::string>{{"NODE_EXTRA_CA_CERTS", provider->caFile()},
                                               {"BROWSER_EMAIL", "ana"},
                                               {"BROWSER_PASSWORD", provider->password()},
                                               {"BROWSER_OPEN", desktopOpener}}));
        return m_browsers.back()->started();
    }

    // The sign-in of the product's settings, with the prompt's `timeout`; the browser opens on browse().
    std::unique_ptr<IdentityWebAuth> webAuth(std::chrono::milliseconds timeout = 30s,
                                             const std::string& redirect = "http://127.0.0.1:0/callback")
    {
        auto auth = std::make_unique<IdentityWebAuth>(test::IdentityServiceProcess::clientId, provider->issuer(), http,
                                                      Telemetry::standard(), systemClock(), &store);
        auth->scope("profile email offline_access")
            .audience("https://api.parlomatic.localhost/")
            .redirectURL(redirect)
            .enableEphemeralSession();
        auth->provider([this, timeout] {
            SystemBrowserSession::Options options;
            options.timeout = timeout;
            options.openURL = [this](const std::string& authorizeURL) {
                const std::lock_guard lock(m_mutex);
                lastAuthorize = authorizeURL;
                return true;
            };
            options.showPrompt = [this](const std::string&, std::function<void()> cancel) {
                const std::lock_guard lock(m_mutex);
                cancelPrompt = std::move(cancel);
                return std::unique_ptr<BrowserPrompt>();
            };
            return std::make_unique<SystemBrowserSession>(options);
        });
        return auth;
    }

    // Starts the flow; the future holds its one result.
    std::future<WebAuth::Result> start(WebAuth& auth)
    {
        auto promise = std::make_shared<std::promise<WebAuth::Result>>();
        auto future = promise->get_future();
        auth.start([promise](WebAuth::Result result) { promise->set_value(std::move(result)); });
        return future;
    }
    static WebAuth::Result wait(std::future<WebAuth::Result>& future)
    {
        if (future.wait_for(60s) != std::future_status::ready) {
            ADD_FAILURE() << "the sign-in gave no result";
            return std::unexpected(WebAuthError(WebAuthError::Code::other));
        }
        return future.get();
    }

    // The URL the browser was sent to, and its redirect URL and state.
    std::string lastAuthorizeURL()
    {
        const std::lock_guard lock(m_mutex);
        return lastAuthorize;
    }
    nlohmann::json authorizeValues() { return callbackValues(lastAuthorizeURL()).value_or(nlohmann::json::object()); }
    // GET on the flow's redirect URL with another query, as a stray browser tab would send it.
    httplib::Result visitRedirect(const std::string& query)
    {
        const auto redirect = parseURL(authorizeValues()["redirect_uri"].get<std::string>());
        httplib::Client client("127.0.0.1", *redirect->port);
        return client.Get(redirect->path + query);
    }

    static inline std::unique_ptr<test::IdentityServiceProcess> provider;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<ChildProcess>> m_browsers;
    std::string lastAuthorize;
    std::function<void()> cancelPrompt;
    TransactionStore store;
    std::shared_ptr<HttpClient> http =
        std::make_shared<CurlHttpClient>(CurlHttpClient::Options{.extraCaFile = provider->caFile()});
};

// Storing and renewing the set against this provider: tests/e2e/app_session.sh. A restart of the
// service keeps its keys and the session, and the next ID token carries the gender the text service
// stored for the subject (that the text service takes its access tokens: tests/e2e/whole_road.sh).
TEST_F(SignInTest, SignsInWithValidatedCredentialsThatOutliveARestart)
{
    auto auth = webAuth();
    auto future = start(*auth);
    auto second = webAuth();
    auto refused = start(*second);
    EXPECT_EQ(wait(refused).error().message(),
              "Failed to start this transaction, as there is an active transaction at the moment.");
    // Another flow's callback and other paths are refused; the listener still waits for its own.
    EXPECT_EQ(visitRedirect("?code=stolen&state=other")->status, 400);
    EXPECT_EQ(visitRedirect("/../favicon.ico")->status, 404);
    ASSERT_EQ(future.wait_for(0s), std::future_status::timeout);
    ASSERT_TRUE(browse());
    const auto result = wait(future);
    ASSERT_TRUE(result) << result.error().debugDescription();

    const auto idToken = jwt::decode(result->idToken());
    ASSERT_TRUE(idToken);
    EXPECT_EQ(idToken->subject(), "local|ana");
    EXPECT_EQ(idToken->claim("email").string(), "ana@localhost");
    EXPECT_FALSE(idToken->claim("pm_gender").string());
    ASSERT_TRUE(result->refreshToken());

    // What was sent beyond what the provider requires: a fresh login, the client's telemetry.
    const auto sent = authorizeValues();
    EXPECT_EQ(sent["prompt"], "login");
    EXPECT_EQ(sent["audience"], "https://api.parlomatic.localhost/");
    EXPECT_EQ(sent["identityClient"], *Telemetry::standard().info);
    EXPECT_EQ(lastAuthorizeURL().find('+'), std::string::npos);

    EXPECT_FALSE(visitRedirect("?code=late")); // the listener has closed
    EXPECT_FALSE(store.isActive());

    // As the text service stores it for the subject of an access token (TextServiceTest).
    ASSERT_TRUE(textservice::GenderStore(provider->folder() / "genders.json").set("local|ana", "masculine"));
    provider->stop();
    ASSERT_TRUE(provider->start());
    const auto [status, renewed] = provider->post(*http, "oauth/token",
                                                  {{"grant_type", "refresh_token"},
                                                   {"refresh_token", *result->refreshToken()},
                                                   {"client_id", test::IdentityServiceProcess::clientId}});
    EXPECT_EQ(status, 200) << renewed.dump();
    const auto renewedId = jwt::decode(renewed.value("id_token", ""));
    ASSERT_TRUE(renewedId) << renewed.dump();
    EXPECT_EQ(renewedId->claim("pm_gender").string(), "masculine");
    EXPECT_EQ(renewedId->header()["kid"], idToken->header()["kid"]);
}

// A private-use scheme redirect (RFC 8252, 7.1) goes through the desktop to a later launch, which
// hands it over: only the waiting flow takes it, and only its own answer.
TEST_F(SignInTest, APrivateSchemeAnswerReachesOnlyTheWaitingSignIn)
{
    const std::string scheme = schemeRedirect;
    const auto handed = directory() / "handed-url";
    const auto desktop = directory() / "desktop-open";
    std::ofstream(desktop) << "#!/bin/sh\nprintf '%s' \"$1\" > " << handed.string() << "\n";
    fs::permissions(desktop, fs::perms::owner_all);
    EXPECT_FALSE(SystemBrowserSession::deliverRedirect(scheme + "?code=early&state=none"));

    auto auth = webAuth(30s, schemeRedirect);
    auto future = start(*auth);
    ASSERT_TRUE(browse(desktop));
    ASSERT_EQ(m_browsers.back()->waitForExit(30s), 0);
    std::string url;
    std::getline(std::ifstream(handed), url);
    ASSERT_TRUE(url.starts_with(scheme + "?")) << "the browser handed over: " << url;
    EXPECT_EQ(authorizeValues()["redirect_uri"], schemeRedirect);

    EXPECT_FALSE(SystemBrowserSession::deliverRedirect(scheme + "?code=stolen&state=other"));
    EXPECT_FALSE(SystemBrowserSession::deliverRedirect("app.parlomatic.other:/callback" + url.substr(url.find('?'))));
    ASSERT_EQ(future.wait_for(0s), std::future_status::timeout);
    EXPECT_TRUE(SystemBrowserSession::deliverRedirect(url));
    const auto result = wait(future);
    EXPECT_TRUE(result) << result.error().debugDescription();
    EXPECT_FALSE(SystemBrowserSession::deliverRedirect(url));
}

TEST_F(SignInTest, CancelAndTimeOut)
{
    auto first = webAuth();
    auto firstResult = start(*first);

    std::unique_lock lock(m_mutex);
    const auto cancel = cancelPrompt;
    lock.unlock();
    cancel();
    EXPECT_EQ(wait(firstResult).error().message(), "The user cancelled the Web Auth operation.");
    EXPECT_FALSE(visitRedirect("?code=late"));

    auto patient = webAuth(200ms);
    auto patientResult = start(*patient);
    EXPECT_EQ(wait(patientResult).error().code(), WebAuthError::Code::userCancelled);
    EXPECT_FALSE(store.isActive());
}

} // namespace
} // namespace parlomatic::identity
