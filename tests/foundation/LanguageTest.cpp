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

// Codes match exactly, case and all.
TEST(Language, FromCode)
{
    const std::pair<std::string, std::optional<Language>> table[] = {
        {"pt-BR", Language::pt_BR}, {"es-MX", Language::es_MX}, {"en-US", Language::en_US},
        {"pt-br", std::nullopt},    {"pt", std::nullopt},       {"en_US", std::nullopt},
        {"en-US ", std::nullopt},   {"", std::nullopt},         {"de-DE", std::nullopt}};
    for (const auto& [text, language] : table) {
        EXPECT_EQ(fromCode(text), language) << text;
    }
}

// A tag matches by its first two characters.
TEST(Language, FromLanguageTag)
{
    const std::pair<std::string, std::optional<Language>> table[] = {
        {"en", Language::en_US},
        {"en-GB", Language::en_US},
        {"en-US", Language::en_US},
        {"pt", Language::pt_BR},
        {"pt-PT", Language::pt_BR},
        {"es-419", Language::es_MX},
        {"EN", std::nullopt},
        {"Es", std::nullopt},
        {"e", std::nullopt},
        {"fr", std::nullopt},
        {"zh-Hans", std::nullopt},
        {"", std::nullopt},
        // A combining accent belongs to the character before it: "e" + U+0301 is one character, so
        // this tag starts with "é" and "s", not with "es".
        {"e\xcc\x81s", std::nullopt},
        // An accent on the second character makes it another character too.
        {"pt\xcc\x81", std::nullopt},
    };
    for (const auto& [text, language] : table) {
        EXPECT_EQ(fromLanguageTag(text), language) << text;
    }
}

} // namespace
} // namespace parlomatic
