#include "service/Cld2LanguageRecognizer.h"

#include <gtest/gtest.h>

namespace parlomatic::service {
namespace {

// A clear sentence gives its language's tag; what CLD2 cannot tell reliably gives none, not a guessed "en".
TEST(Cld2LanguageRecognizerTest, TagsOnlyWhatItCanTellReliably)
{
    const Cld2LanguageRecognizer recognizer;
    const std::pair<std::string_view, std::optional<std::string>> cases[] = {
        {"Os números dos escritórios regionais ainda precisam de uma segunda olhada antes de sexta-feira.", "pt"},
        {"Las cifras de las oficinas regionales todavía necesitan una segunda revisión antes del viernes.", "es"},
        {"The figures from the regional offices still need a second look before Friday.", "en"},
        {"", std::nullopt},
        {"ok", std::nullopt},
        {"12345 67890", std::nullopt},
    };
    for (const auto& [text, tag] : cases) {
        EXPECT_EQ(recognizer.dominantLanguage(text), tag) << text;
    }
}

} // namespace
} // namespace parlomatic::service
