#include "TextService.h"

#include <nlohmann/json.hpp>

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

// A string member: absent gives nothing without an error unless `required`; a member of another
// type is always an error. `ok` turns false when an error answer was written.
std::optional<std::string> stringMember(const json& body, const char* name, bool required, httplib::Response& response,
                                        bool& ok)
{
    const auto found = body.find(name);
    if (found == body.end()) {
        if (required) {
            sendError(response, 400, "bad_request", std::string("The member \"") + name + "\" is missing.");
            ok = false;
        }
        return std::nullopt;
    }
    if (!found->is_string()) {
        sendError(response, 400, "bad_request", std::string("The member \"") + name + "\" must be a string.");
        ok = false;
        return std::nullopt;
    }
    return found->get<std::string>();
}

bool isGender(const std::string& value)
{
    return value == "masculine" || value == "feminine";
}

} // namespace

TextService::TextService(TextTranslator& translator, const Improver& improver, AccessTokenVerifier& verifier,
                         GenderStore& genders, Options options)
    : m_translator(translator), m_improver(improver), m_verifier(verifier), m_genders(genders),
      m_options(std::move(options))
{}

TextService::~TextService()
{
    stop();
}

bool TextService::bind(int port)
{
    m_server = std::make_unique<httplib::SSLServer>(m_options.certificateFile.c_str(), m_options.keyFile.c_str());
    if (!m_server->is_valid()) {
        return false;
    }
    install();
    if (port == 0) {
        m_port = m_server->bind_to_any_port("127.0.0.1");
    } else {
        m_port = m_server->bind_to_port("127.0.0.1", port) ? port : -1;
    }
    return m_port > 0;
}

bool TextService::serve()
{
    return m_server && m_server->listen_after_bind();
}

void TextService::stop()
{
    if (m_server) {
        m_server->stop();
    }
}

void TextService::install()
{
    auto& server = *m_server;
    const std::size_t threads = m_options.threads;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_keep_alive_max_count(1000);
    server.set_keep_alive_timeout(m_options.keepAliveSeconds);
    // Without it the answer's second segment waits on the client's delayed ACK (about 40 ms a call).
    server.set_tcp_nodelay(true);
    server.set_payload_max_length(m_options.maxBodyBytes);
    server.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& response) {
            if (response.body.empty()) {
                const std::string message = response.status == 413   ? "The body is larger than the service accepts."
                                            : response.status == 404 ? "There is no such path."
                                                                     : "The request cannot be served.";
                sendError(response, response.status, reasonCode(response.status), message);
            }
            return httplib::Server::HandlerResponse::Handled;
        }));
    if (m_options.logRequests) {
        server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
            std::fprintf(stderr, "parlomatic-text-service: %s %s %d\n", request.method.c_str(), request.path.c_str(),
                         response.status);
        });
    }

    // The subject of the request's token, or a 401 answer already written.
    const auto authorize = [this](const httplib::Request& request,
                                  httplib::Response& response) -> std::optional<std::string> {
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
    };

    server.Post("/v1/translate", [this, authorize](const httplib::Request& request, httplib::Response& response) {
        if (!authorize(request, response)) {
            return;
        }
        const auto body = objectBody(request, response);
        if (!body) {
            return;
        }
        bool ok = true;
        const auto text = stringMember(*body, "q", true, response, ok);
        const auto target = ok ? stringMember(*body, "target", true, response, ok) : std::nullopt;
        const auto source = ok ? stringMember(*body, "source", false, response, ok) : std::nullopt;
        const auto gender = ok ? stringMember(*body, "gender", false, response, ok) : std::nullopt;
        if (!ok) {
            return;
        }
        const auto targetLang = parseLanguage(*target);
        if (!targetLang) {
            return sendError(response, 400, "unsupported_target",
                             "The target language is not one of English, Spanish and Portuguese.");
        }
        if (gender && !isGender(*gender)) {
            return sendError(response, 400, "bad_request", "The gender must be \"masculine\" or \"feminine\".");
        }
        std::optional<Lang> sourceLang = source ? parseLanguage(*source) : m_improver.detect(*text);
        if (!sourceLang) {
            return sendError(response, 400, source ? "unsupported_source" : "unknown_source",
                             source ? "The source language is not one of English, Spanish and Portuguese."
                                    : "The source language could not be detected.");
        }
        auto translated = m_translator.translate(*text, *sourceLang, *targetLang);
        if (!translated) {
            return sendError(response, 503, "engine_unavailable", "The translation engine did not answer.");
        }
        sendJson(response, {{"data", {{"translations", json::array({{{"translatedText", *translated}}})}}}});
    });

    server.Post("/v1/improve", [this, authorize](const httplib::Request& request, httplib::Response& response) {
        if (!authorize(request, response)) {
            return;
        }
        const auto body = objectBody(request, response);
        bool ok = body.has_value();
        const auto text = ok ? stringMember(*body, "q", true, response, ok) : std::nullopt;
        if (!ok) {
            return;
        }
        sendJson(response,
                 {{"data", {{"improvements", json::array({{{"improvedText", m_improver.improve(*text)}}})}}}});
    });

    server.Patch("/v1/user/metadata", [this, authorize](const httplib::Request& request, httplib::Response& response) {
        const auto subject = authorize(request, response);
        if (!subject) {
            return;
        }
        const auto body = objectBody(request, response);
        bool ok = body.has_value();
        const auto gender = ok ? stringMember(*body, "gender", true, response, ok) : std::nullopt;
        if (!ok) {
            return;
        }
        if (!isGender(*gender)) {
            return sendError(response, 400, "bad_request", "The gender must be \"masculine\" or \"feminine\".");
        }
        if (!m_genders.set(*subject, *gender)) {
            return sendError(response, 500, "server_error", "The preferred gender could not be stored.");
        }
        sendJson(response, {{"gender", *gender}});
    });

    server.Get("/health", [](const httplib::Request&, httplib::Response& response) {
        sendJson(response, {{"status", "ok"}});
    });

    struct Route {
        const char* path;
        const char* allowed;
    };
    for (const Route route :
         {Route{"/v1/translate", "POST"}, Route{"/v1/improve", "POST"}, Route{"/v1/user/metadata", "PATCH"}}) {
        const auto refuse = [allowed = std::string(route.allowed)](const httplib::Request&,
                                                                   httplib::Response& response) {
            response.set_header("Allow", allowed);
            sendError(response, 405, "method_not_allowed", "This path takes only " + allowed + ".");
        };
        server.Get(route.path, refuse);
        server.Put(route.path, refuse);
        server.Delete(route.path, refuse);
        server.Options(route.path, refuse);
        if (std::string_view(route.allowed) == "POST") {
            server.Patch(route.path, refuse);
        } else {
            server.Post(route.path, refuse);
        }
    }
}

} // namespace parlomatic::textservice
