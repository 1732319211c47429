#include "JwksTokenVerifier.h"

#include "identity/IDTokenValidator.h"
#include "identity/jwt/JWT.h"

#include <algorithm>

namespace parlomatic::textservice {
JwksTokenVerifier::JwksTokenVerifier(HttpClient& http, std::string jwksURL, std::string issuer, std::string audience,
                                     const Clock& clock, std::chrono::milliseconds refetchInterval)
    : m_http(http), m_jwksURL(std::move(jwksURL)), m_issuer(std::move(issuer)), m_audience(std::move(audience)),
      m_clock(clock), m_refetchInterval(refetchInterval)
{}

bool JwksTokenVerifier::fetchKeys(std::string* reason)
{
    const auto fail = [reason](std::string why) {
        if (reason != nullptr) {
            *reason = std::move(why);
        }
        return false;
    };
    HttpRequest request;
    request.url = m_jwksURL;
    request.timeout = std::chrono::seconds(10);
    {
        std::lock_guard lock(m_mutex);
        m_lastFetch = std::chrono::steady_clock::now();
    }
    const HttpResult result = m_http.send(request);
    if (!result) {
        return fail("the key set could not be fetched: " + result.error().message);
    }
    if (result->status != 200) {
        return fail("the key set answer has status " + std::to_string(result->status));
    }
    const auto json = nlohmann::json::parse(result->body, nullptr, false);
    if (json.is_discarded()) {
        return fail("the key set is not JSON");
    }
    auto keys = identity::JWKS::decode(json);
    if (!keys) {
        return fail("the key set does not decode: " + keys.error());
    }
    std::lock_guard lock(m_mutex);
    m_keys = std::move(*keys);
    return true;
}

std::optional<identity::JWKS> JwksTokenVerifier::keySetWith(const std::string& keyId)
{
    const auto holds = [&] {
        return m_keys &&
               std::ranges::any_of(m_keys->keys, [&](const identity::JWK& key) { return key.keyId == keyId; });
    };
    {
        std::lock_guard lock(m_mutex);
        if (holds()) {
            return m_keys;
        }
        if (m_lastFetch && std::chrono::steady_clock::now() - *m_lastFetch < m_refetchInterval) {
            return std::nullopt;
        }
    }
    fetchKeys();
    std::lock_guard lock(m_mutex);
    return holds() ? m_keys : std::nullopt;
}

std::expected<std::string, std::string> JwksTokenVerifier::verify(std::string_view token)
{
    const auto decoded = jwt::decode(token);
    if (!decoded || !decoded->signature()) {
        return std::unexpected("the token is not a signed JWT");
    }
    if (identity::IDTokenSignatureValidator::checkHeader(*decoded)) {
        return std::unexpected("the token is not signed with RS256 or names no key");
    }
    const auto keySet = keySetWith(decoded->header().at("kid").get<std::string>());
    if (!keySet) {
        return std::unexpected("the token's signing key is not in the identity service's key set");
    }
    if (identity::IDTokenSignatureValidator::verify(*decoded, *keySet)) {
        return std::unexpected("the token's signature is not valid");
    }
    if (decoded->issuer() != m_issuer) {
        return std::unexpected("the token has another issuer");
    }
    const auto audience = decoded->audience();
    if (!audience || std::ranges::find(*audience, m_audience) == audience->end()) {
        return std::unexpected("the token is not meant for this service");
    }
    const auto now = m_clock.now();
    const auto expiry = decoded->expiresAt();
    if (!expiry || *expiry <= now) {
        return std::unexpected("the token has expired");
    }
    if (const auto notBefore = decoded->notBefore(); notBefore && *notBefore > now) {
        return std::unexpected("the token is not valid yet");
    }
    auto subject = decoded->subject();
    if (!subject || subject->empty()) {
        return std::unexpected("the token has no subject");
    }
    return std::move(*subject);
}

} // namespace parlomatic::textservice
