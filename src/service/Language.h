#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace parlomatic::service {

// The languages Parlomatic translates into and out of. The declaration order is the order of every
// language menu and of every lookup loop; the raw value is the position counted from 0.
enum class Language : std::int8_t {
    es_MX = 0,
    pt_BR = 1,
    en_US = 2,
};

inline constexpr std::array<Language, 3> allLanguages{Language::es_MX, Language::pt_BR, Language::en_US};

int rawValue(Language language);
// The case for 0, 1 or 2; nothing for any other integer.
std::optional<Language> languageFromRawValue(long long raw);

// "es-MX", "pt-BR", "en-US": what the text service receives and what string preferences hold.
std::string_view code(Language language);
// "Spanish (Mexico)", "Portuguese (Brazil)", "English (US)".
std::string_view displayName(Language language);
// The display name, a space and the code in parentheses: "English (US) (en-US)".
std::string description(Language language);

// Exact, case-sensitive lookup by code.
std::optional<Language> fromCode(std::string_view languageCode);

// Loose lookup of a language tag ("en", "pt-PT", "es-419"): the first two user-perceived
// characters of the tag against the first two of each code, case-sensitive.
std::optional<Language> fromLanguageTag(std::string_view tag);

std::ostream& operator<<(std::ostream& out, Language language);

} // namespace parlomatic::service
