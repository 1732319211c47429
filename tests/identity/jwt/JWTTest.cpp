#include "identity/jwt/JWT.h"

#include "support/Base64Url.h"

#include <gtest/gtest.h>

#include <limits>

namespace parlomatic::jwt {
namespace {

using testing::makeToken;

Claim claimOf(std::string_view jsonText)
{
    return Claim{nlohmann::json::parse(jsonText)};
}

// Dates (exp, iat, auth_time) are numbers or whole texts of a number; anything else is no date.
TEST(Claim, DatesFromNumbersAndNumericTextsAndArraysOfTexts)
{
    const std::pair<const char*, std::optional<double>> table[] = {
        {"42", 42.0},
        {"-2.9", -2.9},
        {"1e300", 1e300},
        {R"("12")", 12.0},
        {R"("+12")", 12.0},
        {R"("1.5")", 1.5},
        {R"("1e3")", 1000.0},
        {R"("inf")", std::numeric_limits<double>::infinity()},
        {"true", std::nullopt},
        {R"(" 12")", std::nullopt},
        {R"("\t12")", std::nullopt},
        {R"("12 ")", std::nullopt},
        {R"("")", std::nullopt},
        {R"("+")", std::nullopt},
        {R"("abc")", std::nullopt},
        {"null", std::nullopt},
        {"[1]", std::nullopt},
        {"{}", std::nullopt},
    };
    for (const auto& [json, date] : table) {
        EXPECT_EQ(claimOf(json).date(), date) << json;
    }
    // Lists of texts only; what the ID-token validator's claim faults do not read (IDTokenValidatorTest).
    EXPECT_EQ(claimOf("[]").array(), std::vector<std::string>{});
    EXPECT_FALSE(claimOf(R"(["a",1])").array().has_value());
    EXPECT_FALSE(claimOf("1").array().has_value());
}

constexpr std::string_view header = R"({"alg":"RS256","typ":"JWT","kid":"k1"})";

// The registered claims are read through IDTokenValidatorTest's claim faults.
TEST(TokenDecode, KeepsHeaderBodySignatureAndTextAndNamesWhatIsWrong)
{
    const std::string whole = makeToken(header, R"({"sub":"auth|42","email":"ana@example.com"})", "c2ln");
    const auto kept = decode(whole);
    ASSERT_TRUE(kept.has_value()) << kept.error().description();
    EXPECT_EQ(kept->header().at("kid").get<std::string>(), "k1");
    EXPECT_EQ(kept->subject(), "auth|42");
    EXPECT_EQ(kept->claim("email").string(), "ana@example.com");
    EXPECT_EQ(kept->signature(), "c2ln");
    EXPECT_EQ(kept->string(), whole);
    EXPECT_FALSE(kept->claim("missing").value.has_value());
    EXPECT_EQ(decode(makeToken(header, R"({"a":1})", ""))->signature(), "");

    // Wrong part counts and bad segments are named.
    const std::pair<std::string, std::size_t> table[] = {
        {"", 1}, {"abc", 1}, {"e30.e30", 2}, {"e30.e30.x.y", 4}, {"....", 5}, {"e30.e30.x.", 4}};
    for (const auto& [token, count] : table) {
        const auto decoded = decode(token);
        ASSERT_FALSE(decoded.has_value()) << token;
        EXPECT_EQ(decoded.error().kind(), JWTError::Kind::invalidPartCount) << token;
        EXPECT_EQ(decoded.error().description(),
                  "The JWT " + token + " has " + std::to_string(count) + " parts when it should have 3 parts.");
    }
    // The failing segment is named, the header's first when both are bad; a body that is no JSON
    // object fails, also one nested so deep that using it would overflow the stack later.
    EXPECT_EQ(decode("A.e30.sig").error().description(), "Failed to decode Base64URL value A.");
    EXPECT_EQ(decode("WzFd.A.sig").error().kind(), JWTError::Kind::invalidJSON);
    EXPECT_EQ(decode("WzFd.A.sig").error().payload(), "WzFd");
    const std::string nested = "{\"a\":" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    for (const std::string json :
         {"[1]", "1", "\"text\"", "null", "{", "", "{\"a\":1}x", "\xff\xfe", "{\"a\":\"\xc3\x28\"}", nested.c_str()}) {
        const std::string body = testing::base64UrlEncode(json);
        const auto decoded = decode("e30." + body + ".sig");
        ASSERT_FALSE(decoded.has_value()) << json.substr(0, 20);
        EXPECT_EQ(decoded.error().kind(), JWTError::Kind::invalidJSON);
        EXPECT_EQ(decoded.error().description(), "Failed to parse JSON from Base64URL value " + body + ".");
    }
}

// Pads to a multiple of four and skips characters that are not of the alphabet.
TEST(Base64Url, Segments)
{
    const std::pair<std::string, std::optional<std::string>> table[] = {
        {"", ""},
        {"A", std::nullopt},
        {"e3", "{"},
        {"e30", "{}"},
        {"eyJhIjoxfQ", "{\"a\":1}"},
        {"e30=", "{}"}, // padding already present is left alone
        {"-_-_", std::string("\xfb\xff\xbf", 3)},
        {"e3\n0", "{}"},
        {"e3=0", std::nullopt}, // data after padding
        {"AAAAA", std::nullopt},
    };
    for (const auto& [segment, bytes] : table) {
        EXPECT_EQ(base64UrlDecode(segment), bytes) << segment;
    }
}

} // namespace
} // namespace parlomatic::jwt
