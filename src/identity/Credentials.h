#pragma once

#include <nlohmann/json.hpp>

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace parlomatic::identity {

// The token set of a signed-in user, immutable after creation. Times are seconds since 1970.
class Credentials {
public:
    Credentials(std::string accessToken, std::string tokenType, double expiresIn,
                std::optional<std::string> refreshToken = std::nullopt, std::string idToken = {},
                std::optional<std::string> scope = std::nullopt,
                std::optional<std::string> recoveryCode = std::nullopt);

    // From a token response object. Missing texts become empty (access token, token type, ID
    // token) or absent; "expires_in" is taken as text holding seconds, as a number of seconds,
    // or else the expiry is `now`. A member of the wrong type fails with the reason.
    static std::expected<Credentials, std::string> fromTokenResponse(const nlohmann::json& object, double now);

    // The stored form: a JSON object of class "Credentials" with the seven archive keys.
    std::string archive() const;
    // Nothing unless the bytes hold one object of class "Credentials". Missing or mistyped keys
    // read as empty text, absent, or (the expiry) `now`.
    static std::optional<Credentials> unarchive(std::string_view bytes, double now);

    // For logs: every token value reads "<REDACTED>".
    std::string description() const;

    const std::string& accessToken() const { return m_accessToken; }
    const std::string& tokenType() const { return m_tokenType; }
    double expiresIn() const { return m_expiresIn; }
    const std::optional<std::string>& refreshToken() const { return m_refreshToken; }
    const std::string& idToken() const { return m_idToken; }
    const std::optional<std::string>& scope() const { return m_scope; }
    const std::optional<std::string>& recoveryCode() const { return m_recoveryCode; }

    // The same set with another refresh token.
    Credentials withRefreshToken(std::optional<std::string> refreshToken) const;

    bool operator==(const Credentials&) const = default;

private:
    std::string m_accessToken;
    std::string m_tokenType;
    double m_expiresIn;
    std::optional<std::string> m_refreshToken;
    std::string m_idToken;
    std::optional<std::string> m_scope;
    std::optional<std::string> m_recoveryCode;
};

} // namespace parlomatic::identity
