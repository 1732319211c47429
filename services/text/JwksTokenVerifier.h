#pragma once

#include "AccessTokenVerifier.h"
#include "common/Clock.h"
#include "common/HttpClient.h"
#include "identity/JWKS.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>

namespace parlomatic::textservice {

// Accepts a JWT access token signed RS256 by a key of the identity service's key set (named by the
// token's "kid"; the signature check is the one ID tokens get), whose "iss"
// equals the issuer, whose "aud" (text or list) holds the audience, which has a subject, which has
// not expired ("exp" is required) and whose "nbf", when present, has come.
//
// The key set is fetched by fetchKeys() (at start) and again when a token names a "kid" that the
// held set lacks, or when no set is held yet; such refetches happen at most once per
// `refetchInterval`, so tokens with made-up key ids cannot make the service flood the identity
// service. Thread-safe.
class JwksTokenVerifier final : public AccessTokenVerifier {
public:
    JwksTokenVerifier(HttpClient& http, std::string jwksURL, std::string issuer, std::string audience,
                      const Clock& clock = systemClock(),
                      std::chrono::milliseconds refetchInterval = std::chrono::seconds(10));

    // False (with the reason) when the key set could not be fetched or read.
    bool fetchKeys(std::string* reason = nullptr);

    std::expected<std::string, std::string> verify(std::string_view token) override;

private:
    // The held key set when it has `keyId`, after fetching it again when allowed.
    std::optional<identity::JWKS> keySetWith(const std::string& keyId);

    HttpClient& m_http;
    std::string m_jwksURL;
    std::string m_issuer;
    std::string m_audience;
    const Clock& m_clock;
    std::chrono::milliseconds m_refetchInterval;
    std::mutex m_mutex;
    std::optional<identity::JWKS> m_keys;
    std::optional<std::chrono::steady_clock::time_point> m_lastFetch;
};

} // namespace parlomatic::textservice
