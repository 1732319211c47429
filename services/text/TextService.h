#pragma once

#include "AccessTokenVerifier.h"
#include "Improver.h"
#include "PreferredGenders.h"
#include "TextTranslator.h"
#include "TlsHttpServer.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace parlomatic::textservice {

// The text service over HTTPS on loopback:
//   POST  /v1/translate      {"q", "target", optional "source" and "gender"}
//                            -> {"data": {"translations": [{"translatedText"}]}}
//   POST  /v1/improve        {"q"} -> {"data": {"improvements": [{"improvedText"}]}}
//   PATCH /v1/user/metadata  {"gender"} -> {"gender"}, kept for the token's subject
//   GET   /health            {"status": "ok"}, without a token; 503 with {"status": "unavailable",
//                            "failing": [mode names]} while a translation direction cannot run; with
//                            a grammar worker also "grammar": "ok" or "unavailable" (Improve then
//                            corrects English by its own rules)
// Every /v1 call needs "Authorization: Bearer <access token>" (401 otherwise), checked before the
// body is read. Errors are JSON objects {"error": <short code>, "message": <sentence>}: 400 for a
// body that is not a JSON object or lacks a member or has one of the wrong type or an unsupported
// language or gender, 413 for a body over the limit or a "q" of more than `maxTextCharacters`, 431
// for a head over the server's limit, 405 (with "Allow") for another method on a known path, 404
// for other paths, 503 when a translation engine fails. A request's text and token are never
// logged. Connections are bounded as TlsHttpServer says.
class TextService {
public:
    struct Options {
        std::filesystem::path certificateFile;
        std::filesystem::path keyFile;
        std::size_t maxBodyBytes = std::size_t{1024} * 1024;
        // Code points of "q" in one request: the desktop client reads selections up to this length.
        std::size_t maxTextCharacters = 100'000;
        std::size_t maxConnections = 256;
        // How long an idle kept-alive connection stays open.
        int keepAliveSeconds = 5;
        bool logRequests = true;                 // one line per request on stderr: method, path, status
        std::string listenAddress = "127.0.0.1"; // IPv4
    };

    TextService(TextTranslator& translator, const Improver& improver, AccessTokenVerifier& verifier,
                PreferredGenders& genders, Options options);
    ~TextService();
    TextService(const TextService&) = delete;
    TextService& operator=(const TextService&) = delete;

    // Binds 127.0.0.1:port (0: an ephemeral port). False when the certificate cannot be loaded or
    // the port cannot be bound.
    bool bind(int port);
    int port() const { return m_server ? m_server->port() : -1; }
    // Serves until stop(); call after bind().
    bool serve();
    void stop();

private:
    using Route = std::function<void(const httplib::Request&, httplib::Response&)>;
    struct Path {
        std::string method;
        Route route;
    };
    void admit(const httplib::Request& request, httplib::Response& response);
    void handle(const httplib::Request& request, httplib::Response& response);
    std::optional<std::string> authorize(const httplib::Request& request, httplib::Response& response);
    bool withinTextLimit(const std::string& text, httplib::Response& response) const;
    void translate(const httplib::Request& request, httplib::Response& response);
    void improve(const httplib::Request& request, httplib::Response& response);
    void updateMetadata(const httplib::Request& request, httplib::Response& response);

    TextTranslator& m_translator;
    const Improver& m_improver;
    AccessTokenVerifier& m_verifier;
    PreferredGenders& m_genders;
    Options m_options;
    std::map<std::string, Path, std::less<>> m_paths;
    std::unique_ptr<TlsHttpServer> m_server;
};

} // namespace parlomatic::textservice
