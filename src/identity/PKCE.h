#pragma once

#include "identity/IdentityAuthentication.h"
#include "identity/WebAuth.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace parlomatic::identity {

// `count` bytes of OpenSSL's random generator as unpadded base64url; nothing when it fails.
std::optional<std::string> randomURLSafe(std::size_t count = 32);
// Unpadded base64url of the SHA-256 digest of the verifier's bytes (RFC 7636 S256).
std::string codeChallenge(const std::string& verifier);

// The authorization-code grant of one sign-in: the verifier and what the answer is checked with.
class PKCE {
public:
    struct Checks {
        std::string issuer;
        std::int64_t leeway = 60000;
        std::optional<std::int64_t> maxAge;
        std::optional<std::string> organization;
        std::optional<std::string> nonce;
    };

    // Nothing when the random generator fails.
    static std::optional<PKCE> make(IdentityAuthentication authentication, std::string redirectURL, Checks checks,
                                    const Clock& clock);

    // "code_challenge", "code_challenge_method" and, with a nonce, "nonce".
    const std::map<std::string, std::string>& defaults() const { return m_defaults; }
    const std::string& verifier() const { return m_verifier; }
    const std::string& redirectURL() const { return m_redirectURL; }

    // With the callback's values: exchanges "code" (blocking) and validates the ID token.
    WebAuth::Result finish(const nlohmann::json& values) const;

private:
    PKCE(IdentityAuthentication authentication, std::string redirectURL, Checks checks, std::string verifier,
         const Clock& clock);

    IdentityAuthentication m_authentication;
    std::string m_redirectURL;
    Checks m_checks;
    std::string m_verifier;
    std::map<std::string, std::string> m_defaults;
    const Clock* m_clock;
};

} // namespace parlomatic::identity
