#pragma once

#include "identity/AuthenticationError.h"
#include "identity/IDTokenValidator.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <variant>

namespace parlomatic::identity {

// Why a sign-in ended without credentials, with the underlying error when there is one.
class WebAuthError {
public:
    enum class Code {
        noBundleIdentifier,
        transactionActiveAlready,
        userCancelled,
        pkceNotAllowed,
        idTokenValidationFailed,
        other,
        webViewFailure,       // text()
        unknown,              // text()
        invalidInvitationURL, // text() = the URL
        noAuthorizationCode,  // values()
    };
    // A service error, a refused ID token, or the printed form of a platform failure.
    using Cause = std::variant<AuthenticationError, IDTokenValidationError, std::string>;

    explicit WebAuthError(Code code, std::optional<Cause> cause = std::nullopt);
    static WebAuthError webViewFailure(std::string text, std::optional<Cause> cause = std::nullopt);
    static WebAuthError unknown(std::string text);
    static WebAuthError invalidInvitationURL(std::string url);
    // `values`: the callback URL's parameters, a JSON object of texts.
    static WebAuthError noAuthorizationCode(nlohmann::json values);

    Code code() const { return m_code; }
    const std::string& text() const { return m_text; }
    const nlohmann::json& values() const { return m_values; }
    const std::optional<Cause>& cause() const { return m_cause; }

    std::string message() const;
    // The message, then, with a cause, " CAUSE: " + the cause's printed form.
    std::string debugDescription() const;

    bool operator==(const WebAuthError& other) const;

private:
    Code m_code;
    std::string m_text;
    nlohmann::json m_values;
    std::optional<Cause> m_cause;
};

} // namespace parlomatic::identity
