#include "service/Translator.h"

#include "common/Log.h"
#include "service/TranslatorRequest.h"
#include "wire/TextServiceRequests.h"
#include "wire/TextServiceResponses.h"

#include <QLoggingCategory>

#include <nlohmann/json.hpp>

#include <chrono>

namespace parlomatic {

namespace {

// parlomatic.service: the text service's calls, by address (no query) and answer; never a body or a header,
// which carry the user's text and token.
Q_LOGGING_CATEGORY(serviceLog, "parlomatic.service", QtInfoMsg)

constexpr std::string_view decodeFailurePrefix = "Failed to decode Parlomatic API response: ";

void note(Translator::Failure* failure, Translator::Failure value)
{
    if (failure != nullptr) {
        *failure = value;
    }
}

// Sends the request; the body of a 200 answer, or nothing, logged with `prefix`.
std::optional<std::string> post(HttpClient& http, const HttpRequest& request, std::string_view prefix,
                                Translator::Failure* failure)
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
        logError(std::string(prefix) + describe(result.error()));
        note(failure, Translator::Failure::unreachable);
        return std::nullopt;
    }
    if (result->status != 200) {
        // The body may echo the request: only the status is logged.
        logError(std::string(prefix) + "the service answered with status " + std::to_string(result->status));
        note(failure, Translator::Failure::refused);
        return std::nullopt;
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

std::optional<TranslateResult> Translator::translate(const std::string& text, const std::string& targetCode,
                                                     const std::string& accessToken,
                                                     const std::optional<std::string>& source,
                                                     std::optional<Gender> gender, Failure* failure) const
{
    note(failure, Failure::none);
    const double startTime = m_clock.now();
    const wire::TranslateRequest body{.q = text,
                                      .target = targetCode,
                                      .source = source,
                                      .gender = gender ? std::optional<std::string>(rawValue(*gender)) : std::nullopt};
    const HttpRequest request =
        makeServiceRequest("POST", m_apiDomain(), wire::translatePath, wire::encode(body), accessToken);
    const auto answer = post(m_http, request, "Parlomatic API failed to translate: ", failure);
    if (!answer) {
        return std::nullopt;
    }
    auto decoded = decodeResponseData(*answer);
    if (!decoded) {
        logError(std::string(decodeFailurePrefix) + decoded.error().description);
        note(failure, Failure::unusable);
        return std::nullopt;
    }
    auto& translations = decoded->data.translations;
    if (translations.empty()) {
        return TranslateResult{std::string(noTranslatedText), startTime, true};
    }
    return TranslateResult{std::move(translations.front().translatedText), startTime, false};
}

std::optional<std::string> Translator::improve(const std::string& text, const std::string& accessToken,
                                               Failure* failure) const
{
    note(failure, Failure::none);
    const HttpRequest request = makeServiceRequest("POST", m_apiDomain(), wire::improvePath,
                                                   wire::encode(wire::ImproveRequest{text}), accessToken);
    const auto answer = post(m_http, request, "Parlomatic API failed to improve: ", failure);
    if (!answer) {
        return std::nullopt;
    }
    auto decoded = decodeImproveDataResponse(*answer);
    if (!decoded) {
        logError(std::string(decodeFailurePrefix) + decoded.error().description);
        note(failure, Failure::unusable);
        return std::nullopt;
    }
    auto& improvements = decoded->data.improvements;
    if (improvements.empty()) {
        return std::string();
    }
    return std::move(improvements.front().improvedText);
}

} // namespace parlomatic
