#pragma once

#include "identity/AuthenticationError.h"

#include <cstdint>
#include <optional>
#include <string>

namespace parlomatic::identity {

// Why the credentials manager could not deliver, with the underlying service error when there is one.
class CredentialsManagerError {
public:
    enum class Code {
        largeMinTTL, // minTTL() and lifetime() hold the numbers
        noCredentials,
        noRefreshToken,
        renewFailed,
        storeFailed,
        biometricsFailed,
        revokeFailed,
        storeUnreachable, // the store could not be read: whether a set is stored is not known
    };
    // A failure that may pass by itself: the store or the service could not be reached, timed out
    // or failed on its side. A refused refresh token, or no stored set, is not one.
    bool isTransient() const;

    explicit CredentialsManagerError(Code code, std::optional<AuthenticationError> cause = std::nullopt);
    static CredentialsManagerError largeMinTTL(std::int64_t minTTL, std::int64_t lifetime);

    Code code() const { return m_code; }
    std::int64_t minTTL() const { return m_minTTL; }
    std::int64_t lifetime() const { return m_lifetime; }
    const std::optional<AuthenticationError>& cause() const { return m_cause; }

    std::string message() const;
    // The message, then, with a cause, "." (unless already there) + " CAUSE: " + the cause's debug text.
    std::string debugDescription() const;

    // Equal when codes (with their numbers) and debug texts are equal.
    bool operator==(const CredentialsManagerError& other) const;

private:
    Code m_code;
    std::int64_t m_minTTL = 0;
    std::int64_t m_lifetime = 0;
    std::optional<AuthenticationError> m_cause;
};

} // namespace parlomatic::identity
