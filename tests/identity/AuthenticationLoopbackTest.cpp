// The authentication client against a loopback HTTPS server with a CA made for the test.
#include "common/CurlHttpClient.h"
#include "fakes/FakeClock.h"
#include "identity/IdentityAuthentication.h"
#include "support/LoopbackServiceFixture.h"

#include <gtest/gtest.h>

#include <string>

namespace parlomatic::identity {
namespace {

using nlohmann::json;

class AuthenticationLoopbackTest : public test::LoopbackServiceFixture {
protected:
    // The one request the service received.
    test::RecordedRequest only() const
    {
        const auto sent = requests();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? test::RecordedRequest{} : sent.back();
    }

    FakeClock clock{1'000.0};
    std::shared_ptr<IdentityAuthentication> authentication = std::make_shared<IdentityAuthentication>(
        "client-1", baseUrl(server.baseUrl()), std::make_shared<CurlHttpClient>(trustingOptions()),
        Telemetry{true, "telemetry-info"}, clock);
};

TEST_F(AuthenticationLoopbackTest, ExchangeCode)
{
    setReply(200, R"({"access_token":"at","token_type":"Bearer","expires_in":3600,"refresh_token":"rt",)"
                  R"("id_token":"it","scope":"openid profile"})");
    const auto credentials = authentication->exchangeCode("the-code", "the-verifier", "http://127.0.0.1/cb").start();
    ASSERT_TRUE(credentials) << credentials.error().debugDescription();
    EXPECT_EQ(*credentials, Credentials("at", "Bearer", 4'600.0, "rt", "it", "openid profile"));
    const test::RecordedRequest sent = only();
    EXPECT_EQ(sent.target, "/oauth/token");
    EXPECT_EQ(sent.header("Content-Type"), "application/json");
    EXPECT_EQ(sent.header("Identity-Client"), "telemetry-info");
    EXPECT_EQ(json::parse(sent.body), (json{{"code", "the-code"},
                                            {"code_verifier", "the-verifier"},
                                            {"redirect_uri", "http://127.0.0.1/cb"},
                                            {"grant_type", "authorization_code"},
                                            {"client_id", "client-1"}}));
}

// Without a scope exactly three parameters.
TEST_F(AuthenticationLoopbackTest, RenewSendsThreeParameters)
{
    setReply(200, R"({"access_token":"at2","expires_in":"60"})");
    const auto credentials = authentication->renewTokens("rt").start();
    ASSERT_TRUE(credentials);
    EXPECT_EQ(credentials->expiresIn(), 1'060.0);
    EXPECT_EQ(credentials->refreshToken(), std::nullopt);
    EXPECT_EQ(json::parse(only().body),
              (json{{"refresh_token", "rt"}, {"grant_type", "refresh_token"}, {"client_id", "client-1"}}));
}

TEST_F(AuthenticationLoopbackTest, RenewRejectedOrOfTheWrongShape)
{
    setReply(401, R"({"error":"invalid_grant","error_description":"Unknown or invalid refresh token."})");
    auto result = authentication->renewTokens("rt").start();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code(), "invalid_grant");
    EXPECT_EQ(result.error().description(), "Unknown or invalid refresh token.");
    EXPECT_EQ(result.error().statusCode(), 401);

    setReply(200, R"({"access_token":42})");
    result = authentication->renewTokens("rt").start();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code(), "identity.internal_error.plain");
    EXPECT_EQ(result.error().description(), "Unable to complete the operation.");
    EXPECT_TRUE(result.error().cause());
}

TEST_F(AuthenticationLoopbackTest, Revoke)
{
    setReply(204, "");
    EXPECT_TRUE(authentication->revokeRefreshToken("rt").start());
    EXPECT_EQ(json::parse(only().body), (json{{"token", "rt"}, {"client_id", "client-1"}}));

    // RFC 7009: a revocation's success is a 200 with an empty body.
    setReply(200, "");
    EXPECT_TRUE(authentication->revokeRefreshToken("rt").start());

    setReply(503, "");
    const auto result = authentication->revokeRefreshToken("rt").start();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code(), "identity.internal_error.empty");
    EXPECT_EQ(result.error().statusCode(), 503);
}

TEST_F(AuthenticationLoopbackTest, FetchKeySet)
{
    setReply(200, R"({"keys":[{"kty":"RSA","kid":"k1","use":"sig","alg":"RS256","n":"AQAB-n","e":"AQAB",)"
                  R"("x5c":["MIIC"]},{"kty":"EC"}]})");
    const auto keys = authentication->fetchKeySet().start();
    ASSERT_TRUE(keys) << keys.error().debugDescription();
    ASSERT_EQ(keys->keys.size(), 2u);
    EXPECT_EQ(keys->keys[0].keyId, "k1");
    EXPECT_EQ(keys->keys[0].modulus, "AQAB-n");
    EXPECT_EQ(keys->keys[0].certChain, std::vector<std::string>{"MIIC"});
    JWK bare;
    bare.keyType = "EC";
    EXPECT_EQ(keys->keys[1], bare);
    const test::RecordedRequest sent = only();
    EXPECT_EQ(sent.method, "GET");
    EXPECT_TRUE(sent.body.empty());
    EXPECT_EQ(sent.target, "/.well-known/jwks.json");

    setReply(200, R"({"keys":[{"kid":"no type"}]})");
    const auto broken = authentication->fetchKeySet().start();
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().description(), "Unable to complete the operation.");
}

} // namespace
} // namespace parlomatic::identity
