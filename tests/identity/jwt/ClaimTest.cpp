#include "identity/jwt/JWT.h"

#include <gtest/gtest.h>

#include <limits>

namespace parlomatic::jwt {
namespace {

Claim claimOf(std::string_view jsonText)
{
    return Claim{nlohmann::json::parse(jsonText)};
}

// Dates (exp, iat, auth_time) are numbers or whole texts of a number; anything else is no date.
TEST(Claim, DatesFromNumbersAndNumericTexts)
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
}

TEST(Claim, StringAndArray)
{
    EXPECT_EQ(claimOf(R"("x")").string(), "x");
    EXPECT_FALSE(claimOf("1").string().has_value());
    EXPECT_FALSE(Claim{}.string().has_value());
    EXPECT_FALSE(Claim{}.array().has_value());

    // An array of texts, or one text.
    using Texts = std::vector<std::string>;
    EXPECT_EQ(claimOf(R"(["a","b"])").array(), (Texts{"a", "b"}));
    EXPECT_EQ(claimOf(R"("a")").array(), Texts{"a"});
    EXPECT_EQ(claimOf("[]").array(), Texts{});
    EXPECT_FALSE(claimOf(R"(["a",1])").array().has_value());
    EXPECT_FALSE(claimOf("1").array().has_value());
}

} // namespace
} // namespace parlomatic::jwt
