#include "identity/Credentials.h"
#include "identity/CredentialsManagerError.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace parlomatic::identity {
namespace {

using nlohmann::json;

constexpr double now = 1'700'000'000.0;

// Expiry counts from decoding; a text or number of seconds, anything else none.
TEST(CredentialsTest, ExpiryFromTheTokenResponse)
{
    const std::pair<json, double> table[] = {{"3600", now + 3600}, {"0.5", now + 0.5}, {86400, now + 86400},
                                             {1.5, now + 1.5},     {nullptr, now},     {"soon", now},
                                             {"60s", now},         {true, now}};
    for (const auto& [expiresIn, expected] : table) {
        json response{{"access_token", "a"}};
        if (!expiresIn.is_null()) {
            response["expires_in"] = expiresIn;
        }
        const auto credentials = Credentials::fromTokenResponse(response, now);
        ASSERT_TRUE(credentials) << expiresIn;
        EXPECT_EQ(credentials->expiresIn(), expected) << expiresIn;
    }
}

TEST(CredentialsTest, MissingTextsAreEmptyButMistypedOnesFail)
{
    EXPECT_EQ(Credentials::fromTokenResponse(json::object(), now), Credentials("", "", now));
    EXPECT_FALSE(Credentials::fromTokenResponse({{"refresh_token", 5}}, now));
    EXPECT_FALSE(Credentials::fromTokenResponse(json::array(), now));
}

TEST(CredentialsTest, ArchiveRoundTripsAllSevenFieldsAndRefusesOtherObjects)
{
    const Credentials full("at", "Bearer", now + 0.25, "rt", "it", "openid email", "rc");
    const std::string archive = full.archive();
    EXPECT_EQ(Credentials::unarchive(archive, 0), full);
    const json object = json::parse(archive);
    EXPECT_EQ(object["$class"], "Credentials");
    for (const char* key :
         {"accessToken", "tokenType", "expiresIn", "refreshToken", "idToken", "scope", "recoveryCode"}) {
        EXPECT_TRUE(object.contains(key)) << key;
    }
    const Credentials bare("at", "Bearer", now);
    EXPECT_EQ(Credentials::unarchive(bare.archive(), 0), bare);

    // Only one Credentials object unarchives; mistyped keys are tolerated.
    EXPECT_EQ(Credentials::unarchive(R"({"$class":"Credentials"})", now), Credentials("", "", now));
    EXPECT_EQ(Credentials::unarchive(R"({"$class":"Credentials","accessToken":1,"expiresIn":"x","scope":2})", now),
              Credentials("", "", now));
    for (const char* broken : {"", "not json", R"({"accessToken":"a"})", R"({"$class":"User","accessToken":"a"})",
                               R"([{"$class":"Credentials"}])"}) {
        EXPECT_FALSE(Credentials::unarchive(broken, now)) << broken;
    }
}

TEST(CredentialsTest, PrintedFormRedactsEveryTokenAndShowsAnAbsurdExpiry)
{
    const Credentials credentials("secret-access", "Bearer", 0, "secret-refresh", "secret-id", "openid", "secret-rc");
    const std::string printed = credentials.description();
    EXPECT_EQ(printed.find("secret"), std::string::npos) << printed;
    EXPECT_NE(printed.find("<REDACTED>"), std::string::npos);
    EXPECT_NE(printed.find("Bearer"), std::string::npos);
    EXPECT_NE(printed.find("1970-01-01 00:00:00"), std::string::npos);

    const auto absurd = Credentials::fromTokenResponse({{"expires_in", 1e300}}, now);
    ASSERT_TRUE(absurd);
    EXPECT_NE(absurd->description().find("expiresIn: 1e+300"), std::string::npos);
}

TEST(CredentialsManagerErrorTest, EveryCodeHasItsExactMessage)
{
    using Code = CredentialsManagerError::Code;
    const std::pair<CredentialsManagerError, std::string> table[] = {
        {CredentialsManagerError::largeMinTTL(60, 29),
         "The minTTL requested (60s) is greater than the lifetime of the renewed access token (29s). Request a lower "
         "minTTL or increase the 'Token Expiration' value in the settings page of your API at the identity service."},
        {CredentialsManagerError(Code::noCredentials), "No credentials were found in the store."},
        {CredentialsManagerError(Code::noRefreshToken),
         "The stored credentials instance does not contain a refresh token."},
        {CredentialsManagerError(Code::renewFailed), "The credentials renewal failed."},
        {CredentialsManagerError(Code::storeFailed), "Storing the renewed credentials failed."},
        {CredentialsManagerError(Code::biometricsFailed), "The biometric authentication failed."},
        {CredentialsManagerError(Code::revokeFailed), "The revocation of the refresh token failed."},
    };
    for (const auto& [error, message] : table) {
        EXPECT_EQ(error.message(), message);
    }
    EXPECT_NE(CredentialsManagerError::largeMinTTL(60, 29), CredentialsManagerError::largeMinTTL(60, 30));
}

} // namespace
} // namespace parlomatic::identity
