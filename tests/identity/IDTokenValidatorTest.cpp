// ID-token validation with keys made here: the signature is checked before any claim, then each claim fault.
#include "identity/IDTokenValidator.h"
#include "fakes/FakeClock.h"
#include "support/TestKeys.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

namespace parlomatic::identity {
namespace {

using nlohmann::json;
using testing::TestRsaKey;

constexpr double now = 1'764'600'000.0;
constexpr const char* issuer = "https://tenant.example/";
constexpr const char* clientId = "client-1";

// Answers every request with one key-set body (or a failure status), counting the requests.
class KeySetServer final : public HttpClient {
public:
    HttpResult send(const HttpRequest&) override
    {
        ++requests;
        return HttpResponse{.status = status, .headers = {}, .body = body};
    }
    std::string body;
    long status = 200;
    std::atomic<int> requests{0};
};

json validBody()
{
    return {{"iss", issuer},     {"sub", "user|1"}, {"aud", clientId},
            {"exp", now + 3600}, {"iat", now - 10}, {"email", "ana@example.com"}};
}

class IDTokenValidatorTest : public ::testing::Test {
protected:
    // A key of another type beside the tenant's neither breaks the set nor is taken for it.
    void SetUp() override { keySet->body = json{{"keys", {{{"kty", "EC"}}, key.jwk()}}}.dump(); }

    // Made once: a 2048-bit key takes most of a second in a debug build.
    static const TestRsaKey& tenantKey()
    {
        static const TestRsaKey made("key-1");
        return made;
    }

    std::string validate(const std::string& token) const
    {
        const auto error =
            IDTokenValidator({.issuer = issuer,
                              .audience = clientId,
                              .jwksRequest = Request<JWKS>(keySet, std::string(issuer) + ".well-known/jwks.json", "GET",
                                                           objectHandler<JWKS>(&JWKS::decode)),
                              .leeway = 60000,
                              .maxAge = std::nullopt,
                              .nonce = std::nullopt,
                              .organization = std::nullopt},
                             clock)
                .validate(token);
        return error ? error->message() : "valid";
    }
    std::string signedToken(const json& body) const
    {
        return key.token({{"alg", "RS256"}, {"typ", "JWT"}, {"kid", key.kid()}}, body);
    }

    FakeClock clock{now};
    const TestRsaKey& key = tenantKey();
    std::shared_ptr<KeySetServer> keySet = std::make_shared<KeySetServer>();
};

TEST_F(IDTokenValidatorTest, RefusesBeforeTrustingAnyClaimAndWithoutAUsableKey)
{
    std::string tampered = signedToken(validBody());
    char& signatureByte = tampered[tampered.size() - 10];
    signatureByte = signatureByte == 'A' ? 'B' : 'A';

    const auto refused = [](const std::string& algorithm) {
        return R"(Signature algorithm of ")" + algorithm +
               R"(" is not supported. Expected the ID token to be signed )"
               R"(with "RS256")";
    };
    // An HS256 token is refused for its header, whatever secret signed it (such as the public key).
    EXPECT_EQ(validate(testing::makeToken(R"({"alg":"none","kid":"key-1"})", validBody().dump(), "")), refused("none"));
    EXPECT_EQ(validate(testing::makeToken(R"({"alg":"HS256","kid":"key-1"})", validBody().dump())), refused("HS256"));
    EXPECT_EQ(validate(testing::makeToken(R"({"kid":"key-1"})", validBody().dump())), refused("nil"));
    EXPECT_EQ(validate(testing::makeToken(R"({"alg":"RS256"})", validBody().dump())),
              R"(Could not find a public key for Key ID (kid) "nil")");
    EXPECT_EQ(validate(key.token({{"alg", "RS256"}, {"kid", "key-2"}}, validBody())),
              R"(Could not find a public key for Key ID (kid) "key-2")");
    EXPECT_EQ(validate(tampered), "Invalid ID token signature");
    EXPECT_EQ(validate("a.b"), "ID token could not be decoded");
    // Nothing is fetched for tokens refused on their header alone.
    EXPECT_EQ(keySet->requests, 2);

    // Keys that cannot verify RS256, and unreachable key sets.
    for (const char* patch : {R"({"use":"enc"})", R"({"n":""})"}) {
        auto unusable = key.jwk();
        unusable.merge_patch(json::parse(patch));
        keySet->body = json{{"keys", {unusable}}}.dump();
        EXPECT_EQ(validate(signedToken(validBody())), "Invalid ID token signature") << patch;
    }

    // A key without its type spoils the whole set.
    keySet->body = json{{"keys", {key.jwk(), {{"kid", "no type"}}}}}.dump();
    EXPECT_EQ(validate(signedToken(validBody())), R"(Could not find a public key for Key ID (kid) "key-1")");
    keySet->status = 503;
    EXPECT_EQ(validate(signedToken(validBody())), R"(Could not find a public key for Key ID (kid) "key-1")");
}

// Each claim fault, as a JSON patch of the valid body (null removes a claim); now is 1764600000.
TEST_F(IDTokenValidatorTest, ClaimsAreCheckedInTurn)
{
    const std::tuple<const char*, const char*, std::string> claimCases[] = {
        {"Valid", "{}", "valid"},
        {"InsideTheLeeway", R"({"exp":1764599941.0})", "valid"},
        {"AzpAndExpiryAsText", R"({"aud":["api","client-1"],"azp":"client-1","exp":"1764600010"})", "valid"},
        {"IssuerMissing", R"({"iss":null})", "Issuer (iss) claim must be a string present in the ID token"},
        {"IssuerOther", R"({"iss":"https://tenant.example"})",
         "Issuer (iss) claim mismatch in the ID token, expected (https://tenant.example/), found "
         "(https://tenant.example)"},
        {"IssuerChecksFirst", R"({"iss":1,"exp":1764592800.0})",
         "Issuer (iss) claim must be a string present in the ID token"},
        {"SubjectEmpty", R"({"sub":""})", "Subject (sub) claim must be a string present in the ID token"},
        {"AudienceMissing", R"({"aud":null})",
         "Audience (aud) claim must be a string or array of strings present in the ID token"},
        {"AudienceOther", R"({"aud":"client-2"})",
         "Audience (aud) claim mismatch in the ID token; expected (client-1) but found (client-2)"},
        {"AudienceListWithout", R"({"aud":["client-2","api"]})",
         "Audience (aud) claim mismatch in the ID token; expected (client-1) but was not one of (client-2, api)"},
        {"AudienceListNeedsAzp", R"({"aud":["api","client-1"]})",
         "Authorized Party (azp) claim must be a string present in the ID token when Audience (aud) claim has multiple "
         "values"},
        {"AzpOther", R"({"aud":["api","client-1"],"azp":"api"})",
         "Authorized Party (azp) claim mismatch in the ID token; expected (client-1), found (api)"},
        {"ExpiryMissing", R"({"exp":null})", "Expiration time (exp) claim must be a number present in the ID token"},
        // 60 s of skew: expired exactly 60 s ago is refused; 16 hours ago (the leeway read as seconds) too.
        {"ExpiredBeyondTheLeeway", R"({"exp":1764599940.0})",
         "Expiration time (exp) claim error in the ID token; current time (1764600000.0) is after expiration time "
         "(1764600000.0)"},
        {"ExpiredHoursAgo", R"({"exp":1764542400.0})",
         "Expiration time (exp) claim error in the ID token; current time (1764600000.0) is after expiration time "
         "(1764542460.0)"},
        // Seconds in messages: the shortest fixed form that reads back exactly, a whole number with ".0".
        {"ExpiredAFractionAgo", R"({"exp":1764599939.75})",
         "Expiration time (exp) claim error in the ID token; current time (1764600000.0) is after expiration time "
         "(1764599999.75)"},
        {"IssuedAtMissing", R"({"iat":null})", "Issued At (iat) claim must be a number present in the ID token"},
    };
    for (const auto& [name, patch, message] : claimCases) {
        auto body = validBody();
        body.merge_patch(json::parse(patch));
        EXPECT_EQ(validate(signedToken(body)), message) << name;
    }
}

} // namespace
} // namespace parlomatic::identity
