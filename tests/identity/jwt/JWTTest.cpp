#include "identity/jwt/JWT.h"

#include "support/Base64Url.h"

#include <gtest/gtest.h>

namespace parlomatic::jwt {
namespace {

using testing::makeToken;

constexpr std::string_view header = R"({"alg":"RS256","typ":"JWT","kid":"k1"})";

TEST(TokenDecode, KeepsHeaderBodySignatureTextAndRegisteredClaims)
{
    const std::string token = makeToken(header, R"({"sub":"auth|42","email":"ana@example.com"})", "c2ln");
    const auto decoded = decode(token);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().description();
    EXPECT_EQ(decoded->header().at("kid").get<std::string>(), "k1");
    EXPECT_EQ(decoded->subject(), "auth|42");
    EXPECT_EQ(decoded->claim("email").string(), "ana@example.com");
    EXPECT_EQ(decoded->signature(), "c2ln");
    EXPECT_EQ(decoded->string(), token);
    EXPECT_FALSE(decoded->claim("missing").value.has_value());
    EXPECT_EQ(decode(makeToken(header, R"({"a":1})", ""))->signature(), "");

    const auto registered =
        decode(makeToken(header, R"({"iss":"https://id.example/","sub":"s","aud":"client","iat":10,"exp":"11.5"})"));
    ASSERT_TRUE(registered.has_value());
    EXPECT_EQ(registered->issuer(), "https://id.example/");
    EXPECT_EQ(registered->audience(), std::vector<std::string>{"client"});
    EXPECT_EQ(registered->issuedAt(), 10.0);
    EXPECT_EQ(registered->expiresAt(), 11.5);
    EXPECT_FALSE(decoded->expiresAt().has_value());
}

TEST(TokenDecode, WrongPartCountIsInTheMessage)
{
    const std::pair<std::string, std::size_t> table[] = {
        {"", 1}, {"abc", 1}, {"e30.e30", 2}, {"e30.e30.x.y", 4}, {"....", 5}, {"e30.e30.x.", 4}};
    for (const auto& [token, count] : table) {
        const auto decoded = decode(token);
        ASSERT_FALSE(decoded.has_value()) << token;
        EXPECT_EQ(decoded.error().kind(), JWTError::Kind::invalidPartCount) << token;
        EXPECT_EQ(decoded.error().description(),
                  "The JWT " + token + " has " + std::to_string(count) + " parts when it should have 3 parts.");
    }
}

// The failing segment is named; with both bad, the header's error wins.
TEST(TokenDecode, BadHeaderIsReportedFirst)
{
    EXPECT_EQ(decode("A.e30.sig").error().description(), "Failed to decode Base64URL value A.");
    const auto decoded = decode("WzFd.A.sig");
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind(), JWTError::Kind::invalidJSON);
    EXPECT_EQ(decoded.error().payload(), "WzFd");
}

TEST(TokenDecode, BodyThatIsNoObjectFails)
{
    for (const std::string json :
         {"[1]", "1", "\"text\"", "null", "{", "", "{\"a\":1}x", "\xff\xfe", "{\"a\":\"\xc3\x28\"}"}) {
        const std::string body = testing::base64UrlEncode(json);
        const auto decoded = decode("e30." + body + ".sig");
        ASSERT_FALSE(decoded.has_value()) << json;
        EXPECT_EQ(decoded.error().description(), "Failed to parse JSON from Base64URL value " + body + ".");
    }
}

TEST(TokenDecode, DeepNestingFailsRatherThanOverflowingTheStackLater)
{
    const auto nested = "{\"a\":" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    const auto decoded = decode("e30." + testing::base64UrlEncode(nested) + ".sig");
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind(), JWTError::Kind::invalidJSON);
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
        {"e30gIA", "{}  "},
        {"eyJhIj", "{\"a\""},
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
