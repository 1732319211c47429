#include "identity/Credentials.h"

#include "identity/JsonText.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <utility>

namespace parlomatic::identity {
namespace {

constexpr const char* archiveClass = "Credentials";

std::optional<double> parseSeconds(std::string_view text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> archivedText(const nlohmann::json& object, const char* key)
{
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

std::string printDate(double seconds)
{
    // Outside years 0..9999 (a service may send anything) the number itself is printed.
    if (!(seconds > -62'167'219'200.0 && seconds < 253'402'300'800.0)) {
        return nlohmann::json(seconds).dump();
    }
    const auto whole = static_cast<std::time_t>(std::floor(seconds));
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return text;
}

std::string redacted(const std::optional<std::string>& value)
{
    return value ? "Optional(\"<REDACTED>\")" : "nil";
}

std::string quoted(const std::optional<std::string>& value)
{
    return value ? "Optional(\"" + *value + "\")" : "nil";
}

} // namespace

Credentials::Credentials(std::string accessToken, std::string tokenType, double expiresIn,
                         std::optional<std::string> refreshToken, std::string idToken, std::optional<std::string> scope,
                         std::optional<std::string> recoveryCode)
    : m_accessToken(std::move(accessToken)), m_tokenType(std::move(tokenType)), m_expiresIn(expiresIn),
      m_refreshToken(std::move(refreshToken)), m_idToken(std::move(idToken)), m_scope(std::move(scope)),
      m_recoveryCode(std::move(recoveryCode))
{}

std::expected<Credentials, std::string> Credentials::fromTokenResponse(const nlohmann::json& object, double now)
{
    if (!object.is_object()) {
        return std::unexpected("the token response is not an object");
    }
    std::optional<std::string> texts[6];
    const char* keys[6] = {"access_token", "token_type", "refresh_token", "id_token", "scope", "recovery_code"};
    for (int i = 0; i < 6; ++i) {
        auto text = optionalText(object, keys[i]);
        if (!text) {
            return std::unexpected(text.error());
        }
        texts[i] = std::move(*text);
    }
    double expiry = now;
    if (const auto it = object.find("expires_in"); it != object.end()) {
        if (it->is_string()) {
            if (const auto seconds = parseSeconds(it->get<std::string>())) {
                expiry = now + *seconds;
            }
        } else if (it->is_number()) {
            expiry = now + it->get<double>();
        }
    }
    return Credentials(texts[0].value_or(""), texts[1].value_or(""), expiry, std::move(texts[2]), texts[3].value_or(""),
                       std::move(texts[4]), std::move(texts[5]));
}

std::string Credentials::archive() const
{
    nlohmann::json object{{"$class", archiveClass},
                          {"accessToken", m_accessToken},
                          {"tokenType", m_tokenType},
                          {"expiresIn", m_expiresIn},
                          {"idToken", m_idToken}};
    if (m_refreshToken) {
        object["refreshToken"] = *m_refreshToken;
    }
    if (m_scope) {
        object["scope"] = *m_scope;
    }
    if (m_recoveryCode) {
        object["recoveryCode"] = *m_recoveryCode;
    }
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<Credentials> Credentials::unarchive(std::string_view bytes, double now)
{
    const auto object = nlohmann::json::parse(bytes, nullptr, false);
    if (object.is_discarded() || !object.is_object() || archivedText(object, "$class") != archiveClass) {
        return std::nullopt;
    }
    double expiry = now;
    if (const auto it = object.find("expiresIn"); it != object.end() && it->is_number()) {
        expiry = it->get<double>();
    }
    return Credentials(archivedText(object, "accessToken").value_or(""), archivedText(object, "tokenType").value_or(""),
                       expiry, archivedText(object, "refreshToken"), archivedText(object, "idToken").value_or(""),
                       archivedText(object, "scope"), archivedText(object, "recoveryCode"));
}

std::string Credentials::description() const
{
    return "Credentials(accessToken: \"<REDACTED>\", tokenType: \"" + m_tokenType +
           "\", expiresIn: " + printDate(m_expiresIn) + ", refreshToken: " + redacted(m_refreshToken) +
           ", idToken: \"<REDACTED>\", scope: " + quoted(m_scope) + ", recoveryCode: " + redacted(m_recoveryCode) + ")";
}

Credentials Credentials::withRefreshToken(std::optional<std::string> refreshToken) const
{
    Credentials copy = *this;
    copy.m_refreshToken = std::move(refreshToken);
    return copy;
}

} // namespace parlomatic::identity
