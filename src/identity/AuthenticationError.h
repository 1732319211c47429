#pragma once

#include "common/HttpClient.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace parlomatic::identity {

// A failed call to the identity service: the service's own error object (or one made locally)
// and the HTTP status (0 without a response).
class AuthenticationError {
public:
    static constexpr const char* unknownCode = "identity.internal_error.unknown";
    static constexpr const char* plainCode = "identity.internal_error.plain";
    static constexpr const char* emptyCode = "identity.internal_error.empty";

    AuthenticationError(nlohmann::json info, long statusCode, std::optional<std::string> cause = std::nullopt);

    // No HTTP exchange took place (or it broke off).
    static AuthenticationError transport(const HttpError& error, long statusCode);
    // A body that is there but cannot be used: its text becomes the description.
    static AuthenticationError unusableBody(const std::string& body, long statusCode);
    static AuthenticationError emptyBody(long statusCode);
    // A success body that could not be turned into the expected value.
    static AuthenticationError decodingFailed(std::string failure, long statusCode);

    const nlohmann::json& info() const { return m_info; }
    long statusCode() const { return m_statusCode; }
    // The printed form of the underlying failure (a transport or decoding error), when there is one.
    const std::optional<std::string>& cause() const { return m_cause; }

    // "error", else "code", when it is text; otherwise unknownCode.
    std::string code() const;
    // "description", else "error_description", else a text made from the code or the whole info.
    std::string description() const;
    // One line with code, description and status, for logs and the " CAUSE: " of other errors.
    std::string debugDescription() const;

    bool operator==(const AuthenticationError& other) const;

private:
    nlohmann::json m_info;
    long m_statusCode;
    std::optional<std::string> m_cause;
};

// JSON text of any value; invalid UTF-8 is replaced rather than thrown on.
std::string printJson(const nlohmann::json& value);

} // namespace parlomatic::identity
