#include "identity/PKCE.h"

#include "identity/jwt/JWT.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace parlomatic::identity {
namespace {

std::string base64UrlUnpadded(const unsigned char* bytes, std::size_t count)
{
    return jwt::base64UrlEncode(std::string_view(reinterpret_cast<const char*>(bytes), count));
}

} // namespace

std::optional<std::string> randomURLSafe(std::size_t count)
{
    std::vector<unsigned char> bytes(count);
    if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
        return std::nullopt;
    }
    return base64UrlUnpadded(bytes.data(), count);
}

std::string codeChallenge(const std::string& verifier)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest);
    return base64UrlUnpadded(digest, sizeof digest);
}

PKCE::PKCE(IdentityAuthentication authentication, std::string redirectURL, Checks checks, std::string verifier,
           const Clock& clock)
    : m_authentication(std::move(authentication)), m_redirectURL(std::move(redirectURL)), m_checks(std::move(checks)),
      m_verifier(std::move(verifier)), m_clock(&clock)
{
    m_defaults = {{"code_challenge", codeChallenge(m_verifier)}, {"code_challenge_method", "S256"}};
    if (m_checks.nonce) {
        m_defaults["nonce"] = *m_checks.nonce;
    }
}

std::optional<PKCE> PKCE::make(IdentityAuthentication authentication, std::string redirectURL, Checks checks,
                               const Clock& clock)
{
    auto verifier = randomURLSafe();
    if (!verifier) {
        return std::nullopt;
    }
    return PKCE(std::move(authentication), std::move(redirectURL), std::move(checks), std::move(*verifier), clock);
}

WebAuth::Result PKCE::finish(const nlohmann::json& values) const
{
    const auto code = values.find("code");
    if (code == values.end() || !code->is_string()) {
        return std::unexpected(WebAuthError::noAuthorizationCode(values));
    }
    auto exchanged = m_authentication.exchangeCode(code->get<std::string>(), m_verifier, m_redirectURL).start();
    if (!exchanged) {
        if (exchanged.error().description() == "Unauthorized") {
            return std::unexpected(WebAuthError(WebAuthError::Code::pkceNotAllowed, std::move(exchanged.error())));
        }
        return std::unexpected(WebAuthError(WebAuthError::Code::other, std::move(exchanged.error())));
    }
    const IDTokenValidator validator(IDTokenValidatorContext{m_checks.issuer, m_authentication.clientId(),
                                                             m_authentication.fetchKeySet(), m_checks.leeway,
                                                             m_checks.maxAge, m_checks.nonce, m_checks.organization},
                                     *m_clock);
    if (auto error = validator.validate(exchanged->idToken())) {
        return std::unexpected(WebAuthError(WebAuthError::Code::idTokenValidationFailed, std::move(*error)));
    }
    return std::move(*exchanged);
}

} // namespace parlomatic::identity
