// The sign-in's own rules, with a web session that only records what it was given: the authorize
// URL, the errors found before the browser opens, and how the flow's callback ends it.
#include "identity/IdentityWebAuth.h"
#include "identity/LoginTransaction.h"
#include "identity/PKCE.h"
#include "identity/SystemBrowserSession.h"
#include "identity/URLText.h"

#include <gtest/gtest.h>

#include <regex>

namespace parlomatic::identity {
namespace {

struct Recorded {
    std::string authorizeURL;
    WebSession::Handlers handlers;
    bool closed = false;
};

class RecordingSession final : public WebSession {
public:
    explicit RecordingSession(Recorded& recorded) : m_recorded(recorded) {}
    std::expected<std::string, std::string> prepare(const std::string& url) override { return url; }
    void start(const std::string& url, bool, Handlers handlers) override
    {
        m_recorded.authorizeURL = url;
        m_recorded.handlers = std::move(handlers);
    }
    void close() override { m_recorded.closed = true; }

private:
    Recorded& m_recorded;
};

// The token endpoint: answers what the test sets.
struct TokenEndpoint final : HttpClient {
    HttpResult send(const HttpRequest&) override { return answer; }
    HttpResponse answer;
};

class WebAuthTest : public ::testing::Test {
protected:
    WebAuthTest()
    {
        auth.provider([this] { return std::make_unique<RecordingSession>(recorded); });
    }
    // Starts the flow; the error it ended with at once, or "running".
    std::string start(IdentityWebAuth& webAuth)
    {
        outcome = "running";
        webAuth.start(
            [this](WebAuth::Result result) { outcome = result ? "credentials" : result.error().debugDescription(); });
        return outcome;
    }
    nlohmann::json sent() const { return callbackValues(recorded.authorizeURL).value(); }

    Recorded recorded;
    std::string outcome;
    TransactionStore store;
    std::shared_ptr<TokenEndpoint> endpoint = std::make_shared<TokenEndpoint>();
    IdentityWebAuth auth{
        "client-1", "https://tenant.example", endpoint, Telemetry{.enabled = false, .info = {}}, systemClock(), &store};
};

TEST_F(WebAuthTest, AuthorizeURL)
{
    ASSERT_EQ(start(auth.redirectURL("http://127.0.0.1:0/callback")), "running");
    EXPECT_TRUE(recorded.authorizeURL.starts_with("https://tenant.example/authorize?"));
    auto values = sent();
    EXPECT_TRUE(std::regex_match(values["state"].get<std::string>(), std::regex("[A-Za-z0-9_-]{43}")));
    values.erase("state");
    values.erase("code_challenge");
    EXPECT_EQ(values, (nlohmann::json{{"scope", "openid profile email"},
                                      {"response_type", "code"},
                                      {"client_id", "client-1"},
                                      {"redirect_uri", "http://127.0.0.1:0/callback"},
                                      {"code_challenge_method", "S256"}}));
    recorded.handlers.onFailure({.cancelled = true, .message = {}}); // ends it, as SignInTest's cancel does

    ASSERT_EQ(start(auth.scope("read+write")), "running");
    EXPECT_NE(recorded.authorizeURL.find("scope=openid%20read%2Bwrite"), std::string::npos);
    // The verifier is of randomURLSafe(), as the state; its challenge as in RFC 7636, appendix B.
    EXPECT_EQ(codeChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST_F(WebAuthTest, FailuresBeforeTheBrowserOpens)
{
    EXPECT_EQ(start(auth), "Unable to retrieve the bundle identifier from Bundle.main.bundleIdentifier, or it could "
                           "not be used to build a valid URL.");

    auth.redirectURL("https://app.example/callback").provider([] {
        return std::make_unique<SystemBrowserSession>(SystemBrowserSession::Options{});
    });
    EXPECT_EQ(start(auth), "Unable to receive the redirect URL. CAUSE: only http://127.0.0.1 and private-use scheme "
                           "redirect URLs can be received");
    EXPECT_FALSE(store.isActive());
}

// What the flow's own callback ends it with (another flow's is refused): nothing unvalidated reaches
// the caller, and an unreadable callback is not shown past its path.
TEST_F(WebAuthTest, ItsCallbackEndsTheFlowWith)
{
    const std::tuple<std::string, HttpResponse, std::string> table[] = {
        {"code=secret%zz", {}, "Invalid callback URL: http://127.0.0.1:1/callback"},
        {"error=access_denied&error_description=End-User%20aborted%20interaction",
         {},
         "An unexpected error occurred. CAUSE: AuthenticationError(code: access_denied, description: End-User "
         "aborted interaction, statusCode: 0)"},
        {"session=x",
         {},
         R"(The callback URL is missing the authorization code in its query parameters ({"session":"x","state":"@"}).)"},
        {"code=c-1",
         {.status = 403, .headers = {}, .body = R"({"error":"access_denied","error_description":"Unauthorized"})"},
         "Unable to perform authentication with PKCE. Enable PKCE support in the settings page of the "
         "application at the identity service, by setting the 'Application Type' to 'Native'. CAUSE: "
         "AuthenticationError(code: access_denied, description: Unauthorized, statusCode: 403)"},
        {"code=c-1",
         {.status = 400,
          .headers = {},
          .body = R"({"error":"invalid_grant","error_description":"grant request is invalid"})"},
         "An unexpected error occurred. CAUSE: AuthenticationError(code: invalid_grant, description: grant "
         "request is invalid, statusCode: 400)"},
        {"code=c-1",
         {.status = 200, .headers = {}, .body = R"({"access_token":"at-1","token_type":"Bearer","id_token":"a.b"})"},
         "The ID token validation performed after authentication failed. CAUSE: ID token could not be "
         "decoded"}};
    for (const auto& [query, answer, expected] : table) {
        endpoint->answer = answer;
        recorded.closed = false;
        ASSERT_EQ(start(auth.redirectURL("http://127.0.0.1:0/callback")), "running");
        const auto state = sent()["state"].get<std::string>();
        EXPECT_FALSE(recorded.handlers.onCallback("http://127.0.0.1:1/callback?code=c-2&state=other"));
        EXPECT_TRUE(recorded.handlers.onCallback(("http://127.0.0.1:1/callback?" + query).append("&state=" + state)));
        EXPECT_EQ(outcome, std::regex_replace(expected, std::regex("@"), state)) << query;
        EXPECT_TRUE(recorded.closed);
        EXPECT_FALSE(store.isActive());
    }
}

} // namespace
} // namespace parlomatic::identity
