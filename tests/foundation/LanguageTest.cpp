#include "service/Language.h"

#include <gtest/gtest.h>

namespace parlomatic {
namespace {

TEST(Language, CasesRenderingsAndOrder)
{
    ASSERT_EQ(allLanguages.size(), 3U);
    const std::array<std::tuple<Language, int, std::string_view, std::string_view>, 3> expected{{
        {Language::es_MX, 0, "es-MX", "Spanish (Mexico)"},
        {Language::pt_BR, 1, "pt-BR", "Portuguese (Brazil)"},
        {Language::en_US, 2, "en-US", "English (US)"},
    }};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& [language, raw, languageCode, name] = expected[i];
        EXPECT_EQ(allLanguages[i], language);
        EXPECT_EQ(rawValue(language), raw);
        EXPECT_EQ(languageFromRawValue(raw), language);
        EXPECT_EQ(code(language), languageCode);
        EXPECT_EQ(displayName(language), name);
    }
    for (const long long raw : {-1LL, 3LL, 255LL, -128LL, 1LL << 40}) {
        EXPECT_FALSE(languageFromRawValue(raw).has_value()) << raw;
    }
}

struct Lookup {
    std::string text;
    std::optional<Language> language;
};

class FromCode : public ::testing::TestWithParam<Lookup> {};

TEST_P(FromCode, IsExactAndCaseSensitive)
{
    EXPECT_EQ(fromCode(GetParam().text), GetParam().language) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Codes, FromCode,
                         ::testing::Values(Lookup{"pt-BR", Language::pt_BR}, Lookup{"es-MX", Language::es_MX},
                                           Lookup{"en-US", Language::en_US}, Lookup{"pt-br", std::nullopt},
                                           Lookup{"pt", std::nullopt}, Lookup{"en_US", std::nullopt},
                                           Lookup{"en-US ", std::nullopt}, Lookup{"", std::nullopt},
                                           Lookup{"de-DE", std::nullopt}));

class FromLanguageTag : public ::testing::TestWithParam<Lookup> {};

TEST_P(FromLanguageTag, ComparesTheFirstTwoCharacters)
{
    EXPECT_EQ(fromLanguageTag(GetParam().text), GetParam().language) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Tags, FromLanguageTag,
                         ::testing::Values(Lookup{"en", Language::en_US}, Lookup{"en-GB", Language::en_US},
                                           Lookup{"en-US", Language::en_US}, Lookup{"pt", Language::pt_BR},
                                           Lookup{"pt-PT", Language::pt_BR}, Lookup{"es-419", Language::es_MX},
                                           Lookup{"EN", std::nullopt}, Lookup{"Es", std::nullopt},
                                           Lookup{"e", std::nullopt}, Lookup{"fr", std::nullopt},
                                           Lookup{"zh-Hans", std::nullopt}, Lookup{"", std::nullopt},
                                           // A combining accent belongs to the character before it: "e" + U+0301 is one
                                           // character, so this tag starts with "é" and "s", not with "es".
                                           Lookup{"e\xcc\x81s", std::nullopt},
                                           // An accent on the second character makes it another character too.
                                           Lookup{"pt\xcc\x81", std::nullopt}));

} // namespace
} // namespace parlomatic
