#pragma once

#include "service/LanguageRecognizer.h"

namespace parlomatic::service {

// The language recogniser over CLD2's extended detection. An answer CLD2 itself calls unreliable,
// or an unknown language, is no tag.
class Cld2LanguageRecognizer final : public LanguageRecognizer {
public:
    std::optional<std::string> dominantLanguage(std::string_view text) const override;
};

} // namespace parlomatic::service
