#include "TextService.h"

#include "GrammarChecker.h"

#include "wire/TextServiceRequests.h"
#include "wire/TextServiceResponses.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace parlomatic::textservice {
namespace {

using nlohmann::json;

void sendError(httplib::Response& response, int status, std::string_view code, std::string_view message)
{
    response.status = status;
    response.set_content(json{{"error", code}, {"message", message}}.dump(), "application/json");
}

void sendJson(httplib::Response& response, const json& body)
{
    response.status = 200;
    // The text may come back with bytes that are not UTF-8 (an engine's output); never throw on it.
    response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

std::string_view reasonCode(int status)
{
    switch (status) {
    case 400:
        return "bad_request";
    case 401:
        return "unauthorized";
    case 404:
        return "not_found";
    case 405:
        return "method_not_allowed";
    case 413:
        return "payload_too_large";
    case 431:
        return "header_too_large";
    default:
        return status >= 500 ? "server_error" : "error";
    }
}

// The body as a JSON object, or an error answer already written.
std::optional<json> objectBody(const httplib::Request& request, httplib::Response& response)
{
    auto body = json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        sendError(response, 400, "bad_request", "The body must be a JSON object.");
        return std::nullopt;
    }
    return body;
}

} // namespace

TextService::TextService(TextTranslator& translator, const Improver& improver, AccessTokenVerifier& verifier,
                         PreferredGenders& genders, Options options)
    : m_translator(translator), m_improver(improver), m_verifier(verifier), m_genders(genders),
      m_options(std::move(options))
{
    const auto bound = [this](void (TextService::*member)(const httplib::Request&, httplib::Response&)) {
        return [this, member](const httplib::Request& request, httplib::Response& response) {
            (this->*member)(request, response);
        };
    };
    m_paths[std::string(wire::translatePath)] = {.method = "POST", .route = bound(&TextService::translate)};
    m_paths[std::string(wire::improvePath)] = {.method = "POST", .route = bound(&TextService::improve)};
    m_paths[std::string(wire::userMetadataPath)] = {.method = "PATCH", .route = bound(&TextService::updateMetadata)};
    m_paths["/health"] = {.method = "GET", .route = [this](const httplib::Request&, httplib::Response& response) {
                              const auto failing = m_translator.unavailable();
                              json health = {{"status", failing.empty() ? "ok" : "unavailable"}};
                              if (!failing.empty()) {
                                  health["failing"] = failing;
                              }
                              if (auto* grammar = m_improver.grammar()) {
                                  health["grammar"] = grammar->runs() ? "ok" : "unavailable";
                              }
                              sendJson(response, health);
                              response.status = failing.empty() ? 200 : 503;
                          }};
}

TextService::~TextService()
{
    stop();
}

bool TextService::bind(int port)
{
    TlsHttpServer::Limits limits;
    limits.maxConnections = m_options.maxConnections;
    limits.maxBodyBytes = m_options.maxBodyBytes;
    limits.keepAlive = std::chrono::seconds(m_options.keepAliveSeconds);
    TlsHttpServer::Handlers handlers{
        .admit = [this](const httplib::Request& request, httplib::Response& response) { admit(request, response); },
        .handle = [this](const httplib::Request& request, httplib::Response& response) { handle(request, response); },
        .describe =
            [](const httplib::Request&, httplib::Response& response) {
                const char* message = response.status == 413   ? "The body is larger than the service accepts."
                                      : response.status == 431 ? "The request head is larger than the service accepts."
                                                               : "The request cannot be served.";
                sendError(response, response.status, reasonCode(response.status), message);
            },
        .log = {},
    };
    if (m_options.logRequests) {
        handlers.log = [](const httplib::Request& request, const httplib::Response& response) {
            // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
            std::fprintf(stderr, "parlomatic-text-service: %s %s %d\n", request.method.c_str(), request.path.c_str(),
                         response.status);
        };
    }
    m_server = std::make_unique<TlsHttpServer>(limits, std::move(handlers));
    return m_server->bind(m_options.certificateFile, m_options.keyFile, port, m_options.listenAddress);
}

bool TextService::serve()
{
    return m_server && m_server->serve();
}

void TextService::stop()
{
    if (m_server) {
        m_server->stop();
    }
}

void TextService::admit(const httplib::Request& request, httplib::Response& response)
{
    const auto found = m_paths.find(request.path);
    if (found != m_paths.end() && found->second.method == request.method && request.path.starts_with("/v1/")) {
        authorize(request, response);
    }
}

void TextService::handle(const httplib::Request& request, httplib::Response& response)
{
    const auto found = m_paths.find(request.path);
    if (found == m_paths.end()) {
        return sendError(response, 404, "not_found", "There is no such path.");
    }
    const std::string& allowed = found->second.method;
    if (request.method != allowed) {
        response.set_header("Allow", allowed);
        return sendError(response, 405, "method_not_allowed", "This path takes only " + allowed + ".");
    }
    found->second.route(request, response);
}

std::optional<std::string> TextService::authorize(const httplib::Request& request, httplib::Response& response)
{
    const std::string header = request.get_header_value("Authorization");
    constexpr std::string_view scheme = "bearer ";
    const bool bearer = header.size() > scheme.size() &&
                        std::equal(scheme.begin(), scheme.end(), header.begin(),
                                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    if (!bearer) {
        response.set_header("WWW-Authenticate", "Bearer");
        sendError(response, 401, "unauthorized", "A Bearer access token is required.");
        return std::nullopt;
    }
    auto subject = m_verifier.verify(std::string_view(header).substr(scheme.size()));
    if (!subject) {
        response.set_header("WWW-Authenticate", "Bearer error=\"invalid_token\"");
        sendError(response, 401, "invalid_token", "The access token was refused: " + subject.error() + ".");
        return std::nullopt;
    }
    return std::move(*subject);
}

bool TextService::withinTextLimit(const std::string& text, httplib::Response& response) const
{
    const auto codePoints = static_cast<std::size_t>(
        std::ranges::count_if(text, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    if (codePoints > m_options.maxTextCharacters) {
        sendError(response, 413, "text_too_long",
                  "The text is longer than " + std::to_string(m_options.maxTextCharacters) + " characters.");
        return false;
    }
    return true;
}

void TextService::translate(const httplib::Request& request, httplib::Response& response)
{
    const auto body = objectBody(request, response);
    if (!body) {
        return;
    }
    const auto read = wire::decodeTranslateRequest(*body);
    if (!read) {
        return sendError(response, 400, "bad_request", read.error().message);
    }
    const auto& [text, target, source, gender] = *read;
    if (!withinTextLimit(text, response)) {
        return;
    }
    const auto targetLang = parseLanguage(target);
    if (!targetLang) {
        return sendError(response, 400, "unsupported_target",
                         "The target language is not one of English, Spanish and Portuguese.");
    }
    if (gender && !wire::isGender(*gender)) {
        return sendError(response, 400, "bad_request", R"(The gender must be "masculine" or "feminine".)");
    }
    std::optional<Lang> sourceLang = source ? parseLanguage(*source) : m_improver.detect(text);
    if (!sourceLang) {
        return sendError(response, 400, source ? "unsupported_source" : "unknown_source",
                         source ? "The source language is not one of English, Spanish and Portuguese."
                                : "The source language could not be detected.");
    }
    auto translated = m_translator.translate(text, *sourceLang, *targetLang);
    if (!translated) {
        return sendError(response, 503, "engine_unavailable", "The translation engine did not answer.");
    }
    sendJson(response, json(wire::ResponseData{{{wire::Translation{std::move(*translated)}}}}));
}

void TextService::improve(const httplib::Request& request, httplib::Response& response)
{
    const auto body = objectBody(request, response);
    if (!body) {
        return;
    }
    const auto read = wire::decodeImproveRequest(*body);
    if (!read) {
        return sendError(response, 400, "bad_request", read.error().message);
    }
    if (!withinTextLimit(read->q, response)) {
        return;
    }
    sendJson(response, json(wire::ImproveDataResponse{{{wire::Improve{m_improver.improve(read->q)}}}}));
}

void TextService::updateMetadata(const httplib::Request& request, httplib::Response& response)
{
    // The token was checked before the body was read; this only takes its subject again.
    const auto subject = authorize(request, response);
    if (!subject) {
        return;
    }
    const auto body = objectBody(request, response);
    if (!body) {
        return;
    }
    const auto read = wire::decodeUserMetadataRequest(*body);
    if (!read) {
        return sendError(response, 400, "bad_request", read.error().message);
    }
    const std::string& gender = read->gender;
    if (!wire::isGender(gender)) {
        return sendError(response, 400, "bad_request", R"(The gender must be "masculine" or "feminine".)");
    }
    if (!m_genders.set(*subject, gender)) {
        return sendError(response, 500, "server_error", "The preferred gender could not be stored.");
    }
    sendJson(response, wire::encode(wire::UserMetadataRequest{gender}));
}

} // namespace parlomatic::textservice
