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

struct PartCountCase {
    std::string token;
    std::size_t count;
};

class JWTPartCount : public ::testing::TestWithParam<PartCountCase> {};

TEST_P(JWTPartCount, FailsWithTheCountInTheMessage)
{
    const auto& [token, count] = GetParam();
    const auto decoded = decode(token);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind(), JWTError::Kind::invalidPartCount);
    EXPECT_EQ(decoded.error().partCount(), count);
    EXPECT_EQ(decoded.error().description(),
              "The JWT " + token + " has " + std::to_string(count) + " parts when it should have 3 parts.");
}

INSTANTIATE_TEST_SUITE_P(Shapes, JWTPartCount,
                         ::testing::Values(PartCountCase{"", 1}, PartCountCase{"abc", 1}, PartCountCase{"e30.e30", 2},
                                           PartCountCase{"e30.e30.x.y", 4}, PartCountCase{"....", 5},
                                           PartCountCase{"e30.e30.x.", 4}));

// The failing segment is named; with both bad, the header's error wins.
TEST(TokenDecode, BadHeaderIsReportedFirst)
{
    EXPECT_EQ(decode("A.e30.sig").error().description(), "Failed to decode Base64URL value A.");
    const auto decoded = decode("WzFd.A.sig");
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind(), JWTError::Kind::invalidJSON);
    EXPECT_EQ(decoded.error().payload(), "WzFd");
}

class JWTInvalidJSON : public ::testing::TestWithParam<std::string> {};

TEST_P(JWTInvalidJSON, BodyThatIsNoObjectFails)
{
    const std::string body = testing::base64UrlEncode(GetParam());
    const auto decoded = decode("e30." + body + ".sig");
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind(), JWTError::Kind::invalidJSON);
    EXPECT_EQ(decoded.error().description(), "Failed to parse JSON from Base64URL value " + body + ".");
}

INSTANTIATE_TEST_SUITE_P(Bodies, JWTInvalidJSON,
                         ::testing::Values("[1]", "1", "\"text\"", "null", "{", "", "{\"a\":1}x", "\xff\xfe",
                                           std::string("{\"a\":\"\xc3\x28\"}")));

TEST(TokenDecode, DeepNestingFailsRatherThanOverflowingTheStackLater)
{
    const auto nested = "{\"a\":" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    const auto decoded = decode("e30." + testing::base64UrlEncode(nested) + ".sig");
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind(), JWTError::Kind::invalidJSON);
}

struct SegmentCase {
    std::string segment;
    std::optional<std::string> bytes;
};

class Base64Url : public ::testing::TestWithParam<SegmentCase> {};

TEST_P(Base64Url, PadsToAMultipleOfFourAndSkipsForeignCharacters)
{
    EXPECT_EQ(base64UrlDecode(GetParam().segment), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Segments, Base64Url,
    ::testing::Values(SegmentCase{"", std::string()}, SegmentCase{"A", std::nullopt},
                      SegmentCase{"e3", std::string("{")}, SegmentCase{"e30", std::string("{}")},
                      SegmentCase{"eyJhIjoxfQ", std::string("{\"a\":1}")}, SegmentCase{"e30gIA", std::string("{}  ")},
                      SegmentCase{"eyJhIj", std::string("{\"a\"")},
                      SegmentCase{"e30=", std::string("{}")}, // padding already present is left alone
                      SegmentCase{"-_-_", std::string("\xfb\xff\xbf", 3)}, SegmentCase{"e3\n0", std::string("{}")},
                      SegmentCase{"e3=0", std::nullopt}, // data after padding
                      SegmentCase{"AAAAA", std::nullopt}));

} // namespace
} // namespace parlomatic::jwt
