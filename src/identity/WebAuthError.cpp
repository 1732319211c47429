#include "identity/WebAuthError.h"

#include <utility>

namespace parlomatic::identity {
namespace {

std::string printCause(const WebAuthError::Cause& cause)
{
    if (const auto* service = std::get_if<AuthenticationError>(&cause)) {
        return service->debugDescription();
    }
    if (const auto* token = std::get_if<IDTokenValidationError>(&cause)) {
        return token->message();
    }
    return std::get<std::string>(cause);
}

} // namespace

WebAuthError::WebAuthError(Code code, std::optional<Cause> cause) : m_code(code), m_cause(std::move(cause)) {}

WebAuthError WebAuthError::webViewFailure(std::string text, std::optional<Cause> cause)
{
    WebAuthError error(Code::webViewFailure, std::move(cause));
    error.m_text = std::move(text);
    return error;
}

WebAuthError WebAuthError::unknown(std::string text)
{
    WebAuthError error(Code::unknown);
    error.m_text = std::move(text);
    return error;
}

WebAuthError WebAuthError::invalidInvitationURL(std::string url)
{
    WebAuthError error(Code::invalidInvitationURL);
    error.m_text = std::move(url);
    return error;
}

WebAuthError WebAuthError::noAuthorizationCode(nlohmann::json values)
{
    WebAuthError error(Code::noAuthorizationCode);
    error.m_values = std::move(values);
    return error;
}

std::string WebAuthError::message() const
{
    switch (m_code) {
    case Code::noBundleIdentifier:
        return "Unable to retrieve the bundle identifier from Bundle.main.bundleIdentifier, or it could not be used "
               "to build a valid URL.";
    case Code::transactionActiveAlready:
        return "Failed to start this transaction, as there is an active transaction at the moment.";
    case Code::userCancelled:
        return "The user cancelled the Web Auth operation.";
    case Code::pkceNotAllowed:
        return "Unable to perform authentication with PKCE. Enable PKCE support in the settings page of the "
               "application at the identity service, by setting the 'Application Type' to 'Native'.";
    case Code::idTokenValidationFailed:
        return "The ID token validation performed after authentication failed.";
    case Code::other:
        return "An unexpected error occurred.";
    case Code::webViewFailure:
    case Code::unknown:
        return m_text;
    case Code::invalidInvitationURL:
        return "The invitation URL (" + m_text +
               ") is missing the 'invitation' and/or the 'organization' query "
               "parameters.";
    case Code::noAuthorizationCode:
        return "The callback URL is missing the authorization code in its query parameters (" + printJson(m_values) +
               ").";
    }
    return {};
}

std::string WebAuthError::debugDescription() const
{
    std::string text = message();
    if (m_cause) {
        if (!text.ends_with('.')) {
            text += '.';
        }
        text += " CAUSE: " + printCause(*m_cause);
    }
    return text;
}

bool WebAuthError::operator==(const WebAuthError& other) const
{
    return m_code == other.m_code && debugDescription() == other.debugDescription();
}

} // namespace parlomatic::identity
