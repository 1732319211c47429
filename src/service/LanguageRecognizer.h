#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace parlomatic::service {

// Tells which language a text is written in. Safe to call from any thread, several at once.
class LanguageRecognizer {
public:
    virtual ~LanguageRecognizer() = default;

    // A BCP 47 language tag ("en", "pt", "zh-Hant") of the text's dominant language, or nothing
    // when the recogniser cannot tell reliably.
    virtual std::optional<std::string> dominantLanguage(std::string_view text) const = 0;

protected:
    LanguageRecognizer() = default;
    LanguageRecognizer(const LanguageRecognizer&) = default;
    LanguageRecognizer& operator=(const LanguageRecognizer&) = default;
};

} // namespace parlomatic::service
