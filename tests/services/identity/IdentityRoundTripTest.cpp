// The development identity service as scripts/run starts it (persisted keys and accounts,
// "pm_gender" from the text service's store), signed in to through its login page by a scripted
// browser. That the text service takes its access tokens: tests/e2e/whole_road.sh.
#include "GenderStore.h"
#include "common/CurlHttpClient.h"
#include "identity/jwt/JWT.h"
#include "support/IdentityServiceProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

namespace parlomatic::textservice {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

TEST(IdentityRoundTripTest, ARestartKeepsKeysAndSessionsAndTheNextIdTokenCarriesTheStoredGender)
{
    test::IdentityServiceProcess identity{fs::temp_directory_path() / ("pm-identity-" + std::to_string(::getpid()))};
    ASSERT_TRUE(identity.ready()) << "account.mjs printed no password";
    ASSERT_TRUE(identity.start()) << "the identity service did not start";
    CurlHttpClient http{CurlHttpClient::Options{.extraCaFile = identity.caFile()}};
    const json tokens = identity.signIn(http);
    ASSERT_TRUE(tokens.contains("refresh_token")) << tokens.dump();
    const auto idToken = jwt::decode(tokens["id_token"].get<std::string>());
    ASSERT_TRUE(idToken);
    EXPECT_EQ(idToken->subject(), "local|ana");
    EXPECT_EQ(idToken->claim("email").string(), "ana@localhost");
    EXPECT_FALSE(idToken->claim("pm_gender").string());

    // As the text service stores it for the subject of an access token (TextServiceTest).
    ASSERT_TRUE(GenderStore(identity.folder() / "genders.json").set("local|ana", "masculine"));
    identity.stop();
    ASSERT_TRUE(identity.start());
    const auto [status, renewed] = identity.post(
        http, "oauth/token",
        {{"grant_type", "refresh_token"}, {"refresh_token", tokens["refresh_token"]}, {"client_id", "parlomatic-dev"}});
    EXPECT_EQ(status, 200) << renewed.dump();
    const auto renewedId = jwt::decode(renewed.value("id_token", ""));
    ASSERT_TRUE(renewedId) << renewed.dump();
    EXPECT_EQ(renewedId->claim("pm_gender").string(), "masculine");
    EXPECT_EQ(renewedId->header()["kid"], idToken->header()["kid"]);
}

} // namespace
} // namespace parlomatic::textservice
