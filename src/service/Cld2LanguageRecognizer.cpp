#include "service/Cld2LanguageRecognizer.h"

// CLD2's headers use size_t and friends without including what declares them.
#include <cstdio>

#include <cld2/public/compact_lang_det.h>

#include <climits>

namespace parlomatic::service {

std::optional<std::string> Cld2LanguageRecognizer::dominantLanguage(std::string_view text) const
{
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    CLD2::Language top3[3];
    int percent3[3];
    int textBytes = 0;
    bool isReliable = false;
    // The plain DetectLanguage answers English when it cannot decide; the extended call says so.
    const CLD2::Language language = CLD2::ExtDetectLanguageSummary(text.data(), static_cast<int>(text.size()), true,
                                                                   top3, percent3, &textBytes, &isReliable);
    if (!isReliable || language == CLD2::UNKNOWN_LANGUAGE || language == CLD2::TG_UNKNOWN_LANGUAGE) {
        return std::nullopt;
    }
    return std::string(CLD2::LanguageCode(language));
}

} // namespace parlomatic::service
