#include "identity/AuthenticationError.h"

#include <utility>

namespace parlomatic::identity {
namespace {

std::string kindName(HttpError::Kind kind)
{
    switch (kind) {
    case HttpError::Kind::invalidRequest:
        return "invalidRequest";
    case HttpError::Kind::connection:
        return "connection";
    case HttpError::Kind::timeout:
        return "timeout";
    case HttpError::Kind::tls:
        return "tls";
    case HttpError::Kind::bodyTooLarge:
        return "bodyTooLarge";
    case HttpError::Kind::other:
        return "other";
    }
    return "other";
}

nlohmann::json localInfo(const char* code, std::string description)
{
    return nlohmann::json{{"code", code}, {"description", std::move(description)}};
}

} // namespace

std::string printJson(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

AuthenticationError::AuthenticationError(nlohmann::json info, long statusCode, std::optional<std::string> cause)
    : m_info(std::move(info)), m_statusCode(statusCode), m_cause(std::move(cause))
{}

AuthenticationError AuthenticationError::transport(const HttpError& error, long statusCode)
{
    return {localInfo(plainCode, "Unable to complete the operation."), statusCode,
            "HttpError(" + kindName(error.kind) + ": " + error.message + ")"};
}

AuthenticationError AuthenticationError::unusableBody(const std::string& body, long statusCode)
{
    return {localInfo(plainCode, body), statusCode};
}

AuthenticationError AuthenticationError::emptyBody(long statusCode)
{
    return {localInfo(emptyCode, "Empty response body."), statusCode};
}

AuthenticationError AuthenticationError::decodingFailed(std::string failure, long statusCode)
{
    return {localInfo(plainCode, "Unable to complete the operation."), statusCode,
            "DecodingError(" + std::move(failure) + ")"};
}

std::string AuthenticationError::code() const
{
    if (!m_info.is_object()) {
        return unknownCode;
    }
    auto it = m_info.find("error");
    if (it == m_info.end()) {
        it = m_info.find("code");
    }
    if (it == m_info.end() || !it->is_string()) {
        return unknownCode;
    }
    return it->get<std::string>();
}

std::string AuthenticationError::description() const
{
    if (m_info.is_object()) {
        for (const char* key : {"description", "error_description"}) {
            const auto it = m_info.find(key);
            if (it != m_info.end() && it->is_string()) {
                return it->get<std::string>();
            }
        }
    }
    const std::string errorCode = code();
    if (errorCode != unknownCode) {
        return "Received error with code " + errorCode + ".";
    }
    return "Failed with unknown error " + printJson(m_info) + ".";
}

std::string AuthenticationError::debugDescription() const
{
    return "AuthenticationError(code: " + code() + ", description: " + description() +
           ", statusCode: " + std::to_string(m_statusCode) + ")";
}

bool AuthenticationError::operator==(const AuthenticationError& other) const
{
    return m_info == other.m_info && m_statusCode == other.m_statusCode && m_cause == other.m_cause;
}

} // namespace parlomatic::identity
