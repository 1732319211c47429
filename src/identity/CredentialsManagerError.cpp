#include "identity/CredentialsManagerError.h"

#include <utility>

namespace parlomatic::identity {

CredentialsManagerError::CredentialsManagerError(Code code, std::optional<AuthenticationError> cause)
    : m_code(code), m_cause(std::move(cause))
{}

CredentialsManagerError CredentialsManagerError::largeMinTTL(std::int64_t minTTL, std::int64_t lifetime)
{
    CredentialsManagerError error(Code::largeMinTTL);
    error.m_minTTL = minTTL;
    error.m_lifetime = lifetime;
    return error;
}

std::string CredentialsManagerError::message() const
{
    switch (m_code) {
    case Code::largeMinTTL:
        return "The minTTL requested (" + std::to_string(m_minTTL) +
               "s) is greater than the lifetime of the renewed access token (" + std::to_string(m_lifetime) +
               "s). Request a lower minTTL or increase the 'Token Expiration' value in the settings page of your API "
               "at the identity service.";
    case Code::noCredentials:
        return "No credentials were found in the store.";
    case Code::noRefreshToken:
        return "The stored credentials instance does not contain a refresh token.";
    case Code::renewFailed:
        return "The credentials renewal failed.";
    case Code::storeFailed:
        return "Storing the renewed credentials failed.";
    case Code::biometricsFailed:
        return "The biometric authentication failed.";
    case Code::revokeFailed:
        return "The revocation of the refresh token failed.";
    case Code::storeUnreachable:
        return "The credentials store could not be read.";
    }
    return {};
}

bool CredentialsManagerError::isTransient() const
{
    if (m_code == Code::storeUnreachable) {
        return true;
    }
    if (m_code != Code::renewFailed || !m_cause) {
        return false;
    }
    // No answer (status 0), a time-out or a failure of the service itself; 4xx answers are refusals.
    const long status = m_cause->statusCode();
    return status == 0 || status == 408 || status == 429 || status >= 500;
}

std::string CredentialsManagerError::debugDescription() const
{
    std::string text = message();
    if (m_cause) {
        if (!text.ends_with('.')) {
            text += '.';
        }
        text += " CAUSE: " + m_cause->debugDescription();
    }
    return text;
}

bool CredentialsManagerError::operator==(const CredentialsManagerError& other) const
{
    return m_code == other.m_code && m_minTTL == other.m_minTTL && m_lifetime == other.m_lifetime &&
           debugDescription() == other.debugDescription();
}

} // namespace parlomatic::identity
