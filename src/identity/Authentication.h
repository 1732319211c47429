#pragma once

#include "identity/Credentials.h"
#include "identity/JWKS.h"
#include "identity/Request.h"

#include <optional>
#include <string>

namespace parlomatic::identity {

// The identity service's endpoints that the program uses. Every operation only builds the
// request; start() runs it.
class Authentication {
public:
    virtual ~Authentication() = default;

    virtual const std::string& clientId() const = 0;
    // The tenant's base URL, always ending in "/".
    virtual const std::string& url() const = 0;

    // Authorization-code grant with the PKCE verifier (POST "oauth/token").
    virtual Request<Credentials> exchangeCode(const std::string& code, const std::string& verifier,
                                              const std::string& redirectURI) const = 0;
    // Refresh-token grant (POST "oauth/token"); "scope" is sent only when given.
    virtual Request<Credentials> renewTokens(const std::string& refreshToken,
                                             const std::optional<std::string>& scope = std::nullopt) const = 0;
    // POST "oauth/revoke"; the answer's body is not used.
    virtual Request<void> revokeRefreshToken(const std::string& refreshToken) const = 0;
    // GET ".well-known/jwks.json".
    virtual Request<JWKS> fetchKeySet() const = 0;
};

} // namespace parlomatic::identity
