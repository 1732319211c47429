#pragma once

#include <optional>
#include <string_view>

namespace parlomatic::textservice {

// The languages the service translates and improves.
enum class Lang { en, es, pt };

// A language tag or code ("en", "en-US", "pt_BR", "ES-mx") by its primary subtag, case-insensitive.
// Nothing for another language.
std::optional<Lang> parseLanguage(std::string_view tag);

// The code of a language as this service names it in errors: "en", "es", "pt".
std::string_view languageCode(Lang lang);

// The service's language of UTF-8 plain text, by CLD2: the first of its three best guesses that is
// one of ours, even when CLD2 calls the whole answer unreliable. Nothing when none of the three is.
std::optional<Lang> detectLanguage(std::string_view text);

} // namespace parlomatic::textservice
