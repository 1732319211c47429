#pragma once

#include "AccessTokenVerifier.h"
#include "GenderStore.h"
#include "Improver.h"
#include "TextTranslator.h"

#include <httplib.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

namespace parlomatic::textservice {

// The text service over HTTPS on loopback:
//   POST  /v1/translate      {"q", "target", optional "source" and "gender"}
//                            -> {"data": {"translations": [{"translatedText"}]}}
//   POST  /v1/improve        {"q"} -> {"data": {"improvements": [{"improvedText"}]}}
//   PATCH /v1/user/metadata  {"gender"} -> {"gender"}, kept for the token's subject
//   GET   /health            {"status": "ok"}, without a token
// Every /v1 call needs "Authorization: Bearer <access token>" (401 otherwise). Errors are JSON
// objects {"error": <short code>, "message": <sentence>}: 400 for a body that is not a JSON object
// or lacks a member or has one of the wrong type or an unsupported language or gender, 413 for a
// body over the limit, 405 (with "Allow") for another method on a known path, 404 for other paths,
// 503 when a translation engine fails. A request's text and token are never logged.
class TextService {
public:
    struct Options {
        std::filesystem::path certificateFile;
        std::filesystem::path keyFile;
        std::size_t maxBodyBytes = 1024 * 1024;
        std::size_t threads = 8;
        // How long an idle kept-alive connection stays open; stopping waits for open ones to idle out.
        int keepAliveSeconds = 5;
        bool logRequests = true; // one line per request on stderr: method, path, status
    };

    TextService(TextTranslator& translator, const Improver& improver, AccessTokenVerifier& verifier,
                GenderStore& genders, Options options);
    ~TextService();
    TextService(const TextService&) = delete;
    TextService& operator=(const TextService&) = delete;

    // Binds 127.0.0.1:port (0: an ephemeral port). False when the certificate cannot be loaded or
    // the port cannot be bound.
    bool bind(int port);
    int port() const { return m_port; }
    // Serves until stop(); call after bind().
    bool serve();
    void stop();

private:
    void install();

    TextTranslator& m_translator;
    const Improver& m_improver;
    AccessTokenVerifier& m_verifier;
    GenderStore& m_genders;
    Options m_options;
    std::unique_ptr<httplib::SSLServer> m_server;
    int m_port = -1;
};

} // namespace parlomatic::textservice
