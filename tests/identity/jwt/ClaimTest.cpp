#include "identity/jwt/JWT.h"

#include <gtest/gtest.h>

#include <limits>

namespace parlomatic::jwt {
namespace {

Claim claimOf(std::string_view jsonText)
{
    return Claim{nlohmann::json::parse(jsonText)};
}

struct NumericCase {
    std::string json;
    std::optional<double> doubleValue;
    std::optional<std::int64_t> integer;
};

class ClaimNumbers : public ::testing::TestWithParam<NumericCase> {};

TEST_P(ClaimNumbers, DoubleAndInteger)
{
    const Claim claim = claimOf(GetParam().json);
    EXPECT_EQ(claim.doubleValue(), GetParam().doubleValue) << GetParam().json;
    EXPECT_EQ(claim.integer(), GetParam().integer) << GetParam().json;
    EXPECT_EQ(claim.date(), GetParam().doubleValue);
}

constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Values, ClaimNumbers,
    ::testing::Values(
        NumericCase{"42", 42.0, 42}, NumericCase{"-7", -7.0, -7}, NumericCase{"2.9", 2.9, 2},
        NumericCase{"-2.9", -2.9, -2},
        // Booleans stay apart from numbers.
        NumericCase{"true", std::nullopt, std::nullopt}, NumericCase{"false", std::nullopt, std::nullopt},
        // Text is parsed: whole-text floating point for double, strict decimal for integer.
        NumericCase{R"("12")", 12.0, 12}, NumericCase{R"("+12")", 12.0, 12}, NumericCase{R"("-12")", -12.0, -12},
        NumericCase{R"("1.5")", 1.5, std::nullopt}, NumericCase{R"("1e3")", 1000.0, std::nullopt},
        NumericCase{R"(" 12")", std::nullopt, std::nullopt}, NumericCase{R"("\t12")", std::nullopt, std::nullopt},
        NumericCase{R"("12 ")", std::nullopt, std::nullopt}, NumericCase{R"("")", std::nullopt, std::nullopt},
        NumericCase{R"("+")", std::nullopt, std::nullopt}, NumericCase{R"("abc")", std::nullopt, std::nullopt},
        NumericCase{R"("9223372036854775807")", 9223372036854775807.0, int64Max},
        NumericCase{R"("-9223372036854775808")", -9223372036854775808.0, int64Min},
        NumericCase{R"("9223372036854775808")", 9223372036854775808.0, std::nullopt},
        // Huge numbers never abort: integer is absent.
        NumericCase{"1e300", 1e300, std::nullopt}, NumericCase{"-1e300", -1e300, std::nullopt},
        NumericCase{"18446744073709551615", 18446744073709551615.0, std::nullopt},
        NumericCase{"9223372036854775807", 9223372036854775807.0, int64Max},
        NumericCase{R"("inf")", std::numeric_limits<double>::infinity(), std::nullopt},
        NumericCase{"null", std::nullopt, std::nullopt}, NumericCase{"[1]", std::nullopt, std::nullopt},
        NumericCase{"{}", std::nullopt, std::nullopt}));

TEST(Claim, StringBooleanAndArray)
{
    EXPECT_EQ(claimOf(R"("x")").string(), "x");
    EXPECT_FALSE(claimOf("1").string().has_value());
    EXPECT_EQ(claimOf("true").boolean(), true);
    EXPECT_FALSE(claimOf("1").boolean().has_value());
    EXPECT_FALSE(claimOf(R"("true")").boolean().has_value());
    EXPECT_FALSE(Claim{}.string().has_value());
    EXPECT_FALSE(Claim{}.integer().has_value());
    EXPECT_FALSE(Claim{}.array().has_value());

    // An array of texts, or one text.
    using Texts = std::vector<std::string>;
    EXPECT_EQ(claimOf(R"(["a","b"])").array(), (Texts{"a", "b"}));
    EXPECT_EQ(claimOf(R"("a")").array(), Texts{"a"});
    EXPECT_EQ(claimOf("[]").array(), Texts{});
    EXPECT_FALSE(claimOf(R"(["a",1])").array().has_value());
    EXPECT_FALSE(claimOf("1").array().has_value());
}

TEST(Claim, NaNTextHasNoInteger)
{
    const Claim claim = claimOf(R"("nan")");
    ASSERT_TRUE(claim.doubleValue().has_value());
    EXPECT_TRUE(std::isnan(*claim.doubleValue()));
    EXPECT_FALSE(claim.integer().has_value());
}

} // namespace
} // namespace parlomatic::jwt
