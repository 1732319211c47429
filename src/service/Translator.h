#pragma once

#include "common/Clock.h"
#include "common/HttpClient.h"
#include "service/Gender.h"
#include "service/TranslatorError.h"
#include "service/TranslatorRequest.h"

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace parlomatic::service {

// What translate() gives when the service answered with an empty list of translations.
inline constexpr std::string_view noTranslatedText = "No translated text.";

struct TranslateResult {
    std::string text;
    // When the call began, seconds since 1970 from the translator's clock; lets a caller drop an
    // answer older than one it has already applied.
    double startTime = 0;
    // True when `text` is the fixed noTranslatedText message rather than a translation: fine to
    // show, never to write over the user's text.
    bool isPlaceholder = false;

    bool operator==(const TranslateResult&) const = default;
};

// The client of the text service: POST "/v1/translate" and "/v1/improve". Holds no mutable state;
// both calls block and may run on any thread, several at once. A failure gives a TranslatorError and
// writes its message through logError (a status other than 200: the status, never the body).
class Translator {
public:
    // `apiDomain` is inserted verbatim after "https://". `http` and `clock` must outlive this object.
    Translator(HttpClient& http, std::string apiDomain, const Clock& clock = systemClock());
    Translator(HttpClient& http, ApiDomain apiDomain, const Clock& clock = systemClock());

    // Sends "q" = text and "target" = targetCode, plus "source" and "gender" when given. Yields the
    // first translation, or noTranslatedText (isPlaceholder) when the service returned none.
    std::expected<TranslateResult, TranslatorError> translate(const std::string& text, const std::string& targetCode,
                                                              const std::string& accessToken,
                                                              const std::optional<std::string>& source,
                                                              std::optional<Gender> gender) const;

    // Sends "q" = text. Yields the first improvement, or the empty text when the service returned none.
    std::expected<std::string, TranslatorError> improve(const std::string& text, const std::string& accessToken) const;

private:
    HttpClient& m_http;
    ApiDomain m_apiDomain;
    const Clock& m_clock;
};

} // namespace parlomatic::service
