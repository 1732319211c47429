#include "service/Translator.h"

#include "common/Log.h"
#include "service/TranslatorRequest.h"
#include "wire/TextServiceRequests.h"
#include "wire/TextServiceResponses.h"

#include <QLoggingCategory>

#include <nlohmann/json.hpp>

#include <chrono>

namespace parlomatic::service {

namespace {

// parlomatic.service: the text service's calls, by address (no query) and answer; never a body or a header,
// which carry the user's text and token.
Q_LOGGING_CATEGORY(serviceLog, "parlomatic.service", QtInfoMsg)

constexpr std::string_view decodeFailurePrefix = "Failed to decode Parlomatic API response: ";

// Logs the failure's message and gives it as the call's error.
std::unexpected<TranslatorError> failed(TranslatorError::Kind kind, std::string message)
{
    logError(message);
    return std::unexpected(TranslatorError{.kind = kind, .message = std::move(message)});
}

// Sends the request; the body of a 200 answer, or the failure, logged with `prefix`.
std::expected<std::string, TranslatorError> post(HttpClient& http, const HttpRequest& request, std::string_view prefix)
{
    const auto started = std::chrono::steady_clock::now();
    HttpResult result = http.send(request);
    if (serviceLog().isDebugEnabled()) {
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        const std::string address = request.url.substr(0, request.url.find('?'));
        const std::string answer = result ? "status " + std::to_string(result->status) : describe(result.error());
        qCDebug(serviceLog).noquote() << QString::fromStdString(address) << "answered in" << took.count()
                                      << "ms:" << QString::fromStdString(answer);
    }
    if (!result) {
        return failed(TranslatorError::Kind::unreachable, std::string(prefix) + describe(result.error()));
    }
    if (result->status != 200) {
        // The body may echo the request: only the status is logged.
        return failed(TranslatorError::Kind::refused,
                      std::string(prefix) + "the service answered with status " + std::to_string(result->status));
    }
    return std::move(result->body);
}

} // namespace

Translator::Translator(HttpClient& http, std::string apiDomain, const Clock& clock)
    : Translator(http, ApiDomain([domain = std::move(apiDomain)] { return domain; }), clock)
{}

Translator::Translator(HttpClient& http, ApiDomain apiDomain, const Clock& clock)
    : m_http(http), m_apiDomain(std::move(apiDomain)), m_clock(clock)
{}

std::expected<TranslateResult, TranslatorError>
Translator::translate(const std::string& text, const std::string& targetCode, const std::string& accessToken,
                      const std::optional<std::string>& source, std::optional<Gender> gender) const
{
    const double startTime = m_clock.now();
    const wire::TranslateRequest body{.q = text,
                                      .target = targetCode,
                                      .source = source,
                                      .gender = gender ? std::optional<std::string>(rawValue(*gender)) : std::nullopt};
    const HttpRequest request =
        makeServiceRequest("POST", m_apiDomain(), wire::translatePath, wire::encode(body), accessToken);
    const auto answer = post(m_http, request, "Parlomatic API failed to translate: ");
    if (!answer) {
        return std::unexpected(answer.error());
    }
    auto decoded = wire::decodeResponseData(*answer);
    if (!decoded) {
        return failed(TranslatorError::Kind::unusable, std::string(decodeFailurePrefix) + decoded.error().description);
    }
    auto& translations = decoded->data.translations;
    if (translations.empty()) {
        return TranslateResult{.text = std::string(noTranslatedText), .startTime = startTime, .isPlaceholder = true};
    }
    return TranslateResult{
        .text = std::move(translations.front().translatedText), .startTime = startTime, .isPlaceholder = false};
}

std::expected<std::string, TranslatorError> Translator::improve(const std::string& text,
                                                                const std::string& accessToken) const
{
    const HttpRequest request = makeServiceRequest("POST", m_apiDomain(), wire::improvePath,
                                                   wire::encode(wire::ImproveRequest{text}), accessToken);
    const auto answer = post(m_http, request, "Parlomatic API failed to improve: ");
    if (!answer) {
        return std::unexpected(answer.error());
    }
    auto decoded = wire::decodeImproveDataResponse(*answer);
    if (!decoded) {
        return failed(TranslatorError::Kind::unusable, std::string(decodeFailurePrefix) + decoded.error().description);
    }
    auto& improvements = decoded->data.improvements;
    if (improvements.empty()) {
        return std::string();
    }
    return std::move(improvements.front().improvedText);
}

} // namespace parlomatic::service
