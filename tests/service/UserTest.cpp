#include "service/User.h"
#include "support/Base64Url.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace parlomatic {

void PrintTo(const User& user, std::ostream* out)
{
    *out << "{" << user.id << ", " << user.email << ", " << user.orgId.value_or("-") << ", "
         << (user.gender ? rawValue(*user.gender) : "-") << "}";
}

namespace {

std::string token(const nlohmann::json& claims)
{
    return testing::makeToken(R"({"alg":"RS256","typ":"JWT"})", claims.dump());
}

struct TokenCase {
    std::string name;
    std::string idToken;
    std::optional<User> expected;
};

class UserFromTokenTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(UserFromTokenTest, ReadsTheClaims)
{
    EXPECT_EQ(User::fromIdToken(GetParam().idToken), GetParam().expected);
}

const nlohmann::json base{{"sub", "auth|42"}, {"email", "ana@example.com"}};

nlohmann::json with(nlohmann::json claims, const nlohmann::json& extra)
{
    claims.update(extra);
    return claims;
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, UserFromTokenTest,
    ::testing::Values(TokenCase{"AllClaims", token(with(base, {{"pm_org_id", "org-1"}, {"pm_gender", "feminine"}})),
                                User{"auth|42", "ana@example.com", "org-1", Gender::feminine}},
                      TokenCase{"RequiredOnly", token(base),
                                User{"auth|42", "ana@example.com", std::nullopt, std::nullopt}},
                      TokenCase{"CapitalisedGender", token(with(base, {{"pm_gender", "Feminine"}})),
                                User{"auth|42", "ana@example.com", std::nullopt, std::nullopt}},
                      TokenCase{"UnknownGender", token(with(base, {{"pm_gender", "female"}})),
                                User{"auth|42", "ana@example.com", std::nullopt, std::nullopt}},
                      TokenCase{"NumericClaims", token(with(base, {{"pm_gender", 1}, {"pm_org_id", 7}})),
                                User{"auth|42", "ana@example.com", std::nullopt, std::nullopt}},
                      TokenCase{"NoEmail", token({{"sub", "auth|42"}}), std::nullopt},
                      TokenCase{"EmailNotString", token({{"sub", "auth|42"}, {"email", true}}), std::nullopt},
                      TokenCase{"NoSubject", token({{"email", "ana@example.com"}}), std::nullopt},
                      TokenCase{"NotAToken", "not-a-token", std::nullopt},
                      TokenCase{"BodyNotJson", testing::makeToken("{}", "nope"), std::nullopt}),
    [](const auto& testInfo) { return testInfo.param.name; });

} // namespace
} // namespace parlomatic
