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

nlohmann::json with(nlohmann::json claims, const nlohmann::json& extra)
{
    claims.update(extra);
    return claims;
}

TEST(UserTest, ReadsTheClaimsOfTheIdToken)
{
    const nlohmann::json base{{"sub", "auth|42"}, {"email", "ana@example.com"}};
    const User plain{"auth|42", "ana@example.com", std::nullopt, std::nullopt};
    const std::tuple<std::string, std::string, std::optional<User>> table[] = {
        {"AllClaims", token(with(base, {{"pm_org_id", "org-1"}, {"pm_gender", "feminine"}})),
         User{"auth|42", "ana@example.com", "org-1", Gender::feminine}},
        {"RequiredOnly", token(base), plain},
        {"CapitalisedGender", token(with(base, {{"pm_gender", "Feminine"}})), plain},
        {"UnknownGender", token(with(base, {{"pm_gender", "female"}})), plain},
        {"NumericClaims", token(with(base, {{"pm_gender", 1}, {"pm_org_id", 7}})), plain},
        {"NoEmail", token({{"sub", "auth|42"}}), std::nullopt},
        {"EmailNotString", token({{"sub", "auth|42"}, {"email", true}}), std::nullopt},
        {"NoSubject", token({{"email", "ana@example.com"}}), std::nullopt},
        {"NotAToken", "not-a-token", std::nullopt},
        {"BodyNotJson", testing::makeToken("{}", "nope"), std::nullopt}};
    for (const auto& [name, idToken, expected] : table) {
        EXPECT_EQ(User::fromIdToken(idToken), expected) << name;
    }
}

} // namespace
} // namespace parlomatic
