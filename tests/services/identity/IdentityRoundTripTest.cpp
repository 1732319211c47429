// The development identity service as scripts/run starts it (persisted keys and accounts, JWT
// access tokens for the text service's audience, "pm_gender" from the text service's store),
// signed in to through its login page by a scripted browser, with the text service checking its
// access tokens.
#include "GenderStore.h"
#include "JwksTokenVerifier.h"
#include "TextService.h"
#include "common/CurlHttpClient.h"
#include "identity/jwt/JWT.h"
#include "support/IdentityServiceProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <thread>

namespace parlomatic::textservice {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

class IdentityRoundTripTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(identity.ready()) << "account.mjs printed no password";
        ASSERT_TRUE(identity.start()) << "the identity service did not start";
    }

    test::IdentityServiceProcess identity{fs::temp_directory_path() / ("pm-identity-" + std::to_string(::getpid()))};
    const fs::path& folder = identity.folder();
    CurlHttpClient http{CurlHttpClient::Options{.extraCaFile = identity.caFile()}};
};

TEST_F(IdentityRoundTripTest, AccessTokensWorkAtTheTextServiceAndTheGenderComesBackInTheNextIdToken)
{
    const json tokens = identity.signIn(http);
    ASSERT_TRUE(tokens.contains("access_token") && tokens.contains("refresh_token")) << tokens.dump();
    const auto idToken = jwt::decode(tokens["id_token"].get<std::string>());
    ASSERT_TRUE(idToken);
    EXPECT_EQ(idToken->subject(), "local|ana");
    EXPECT_EQ(idToken->claim("email").string(), "ana@localhost");
    EXPECT_FALSE(idToken->claim("pm_gender").string());

    // The text service takes the access token and stores the gender for its subject.
    TextTranslator translator("/usr/share/apertium/modes");
    Improver improver("/usr/share/hunspell");
    const std::string issuer = identity.issuer();
    JwksTokenVerifier verifier(http, issuer + ".well-known/jwks.json", issuer, test::IdentityServiceProcess::audience);
    GenderStore genders(folder / "genders.json");
    TextService service(translator, improver, verifier, genders,
                        {.certificateFile = folder / "cert.pem",
                         .keyFile = folder / "key.pem",
                         .keepAliveSeconds = 1,
                         .logRequests = false});
    ASSERT_TRUE(service.bind(0));
    std::thread serving([&] { service.serve(); });
    const auto patched =
        http.send({.method = "PATCH",
                   .url = "https://127.0.0.1:" + std::to_string(service.port()) + "/v1/user/metadata",
                   .headers = {{"Content-Type", "application/json"},
                               {"Authorization", "Bearer " + tokens["access_token"].get<std::string>()}},
                   .body = R"({"gender":"masculine"})"});
    service.stop();
    serving.join();
    ASSERT_TRUE(patched);
    EXPECT_EQ(patched->status, 200) << patched->body;
    EXPECT_EQ(genders.get("local|ana"), "masculine");

    // A restart keeps the keys and the session: the refresh token still works, and the new ID
    // token carries the stored gender.
    identity.stop();
    ASSERT_TRUE(identity.start());
    const auto [status, renewed] = identity.post(
        http, "oauth/token",
        {{"grant_type", "refresh_token"}, {"refresh_token", tokens["refresh_token"]}, {"client_id", "parlomatic-dev"}});
    EXPECT_EQ(status, 200) << renewed.dump();
    const auto renewedId = jwt::decode(renewed.value("id_token", ""));
    ASSERT_TRUE(renewedId) << renewed.dump();
    EXPECT_EQ(renewedId->claim("pm_gender").string(), "masculine");
    EXPECT_TRUE(verifier.verify(renewed.value("access_token", "")));
    EXPECT_EQ(renewedId->header()["kid"], idToken->header()["kid"]);
}

} // namespace
} // namespace parlomatic::textservice
