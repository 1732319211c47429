#include "Languages.h"

#include "wire/TextServiceRequests.h"

#include <cld2/public/compact_lang_det.h>
#include <cstdio> // the CLD2 header uses FILE without including it

#include <algorithm>
#include <climits>
#include <string>

namespace parlomatic::textservice {

std::optional<Lang> parseLanguage(std::string_view tag)
{
    const std::optional<std::size_t> index = wire::languageOfTag(tag);
    if (!index) {
        return std::nullopt;
    }
    for (const Lang lang : {Lang::en, Lang::es, Lang::pt}) {
        if (languageCode(lang) == wire::languages[*index].primarySubtag) {
            return lang;
        }
    }
    return std::nullopt;
}

std::string_view languageCode(Lang lang)
{
    switch (lang) {
    case Lang::en:
        return "en";
    case Lang::es:
        return "es";
    case Lang::pt:
        return "pt";
    }
    return "en";
}

std::optional<Lang> detectLanguage(std::string_view text)
{
    CLD2::Language best[3];
    int percent[3];
    int textBytes = 0;
    bool reliable = false;
    const int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
    CLD2::ExtDetectLanguageSummary(text.data(), length, true, best, percent, &textBytes, &reliable);
    for (int i = 0; i < 3; ++i) {
        if (percent[i] <= 0) {
            continue;
        }
        if (auto lang = parseLanguage(CLD2::LanguageCode(best[i]))) {
            return lang;
        }
    }
    return std::nullopt;
}

} // namespace parlomatic::textservice
