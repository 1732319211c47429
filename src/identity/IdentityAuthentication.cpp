#include "identity/IdentityAuthentication.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace parlomatic::identity {
namespace {

constexpr const char* configurationName = "Identity.conf";

std::string trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(first, text.find_last_not_of(" \t\r") - first + 1));
}

// The file's entries as "{key = value; ...}". ConfFile answers single keys only, so the keys are
// gathered here and their values asked of it.
std::string printEntries(const std::filesystem::path& path, const ConfFile& file)
{
    std::ifstream in(path);
    std::vector<std::string> keys;
    for (std::string line; std::getline(in, line);) {
        const std::string trimmed = trim(line);
        const auto equals = trimmed.find('=');
        if (trimmed.empty() || trimmed.front() == '#' || trimmed.front() == ';' || trimmed.front() == '[' ||
            equals == std::string::npos) {
            continue;
        }
        std::string key = trim(std::string_view(trimmed).substr(0, equals));
        if (!key.empty() && std::ranges::find(keys, key) == keys.end()) {
            keys.push_back(std::move(key));
        }
    }
    std::string printed = "{";
    for (const auto& key : keys) {
        printed += (printed.size() > 1 ? "; " : " ") + key + " = " + file.value(key).value_or("");
    }
    return printed + (keys.empty() ? "}" : " }");
}

} // namespace

std::expected<IdentityConfiguration, std::vector<std::string>>
loadIdentityConfiguration(const std::filesystem::path& bundle)
{
    const auto path = bundle / configurationName;
    const auto file = ConfFile::load(path);
    if (!file) {
        return std::unexpected(std::vector<std::string>{
            "Missing Identity.conf file with 'ClientId' and 'Domain' entries in main bundle!"});
    }
    auto clientId = file->value("ClientId");
    auto domain = file->value("Domain");
    if (!clientId || !domain) {
        return std::unexpected(std::vector<std::string>{
            "Identity.conf file at " + path.string() + " is missing 'ClientId' and/or 'Domain' entries!",
            "File currently has the following entries: " + printEntries(path, *file)});
    }
    return IdentityConfiguration{.clientId = std::move(*clientId), .domain = std::move(*domain)};
}

std::string baseURL(const std::string& domain)
{
    std::string url = domain.starts_with("https") ? domain : "https://" + domain;
    if (!url.ends_with('/')) {
        url += '/';
    }
    return url;
}

IdentityAuthentication::IdentityAuthentication(std::string clientId, std::string url,
                                               std::shared_ptr<HttpClient> session, Telemetry telemetry,
                                               const Clock& clock)
    : m_clientId(std::move(clientId)), m_url(std::move(url)), m_session(std::move(session)),
      m_telemetry(std::move(telemetry)), m_clock(&clock)
{
    if (!m_url.ends_with('/')) {
        m_url += '/';
    }
}

Request<Credentials> IdentityAuthentication::tokenRequest(nlohmann::json parameters) const
{
    const Clock* clock = m_clock;
    return {m_session,
            m_url + "oauth/token",
            "POST",
            objectHandler<Credentials>(
                [clock](const nlohmann::json& object) { return Credentials::fromTokenResponse(object, clock->now()); }),
            std::move(parameters),
            {},
            m_telemetry};
}

Request<Credentials> IdentityAuthentication::exchangeCode(const std::string& code, const std::string& verifier,
                                                          const std::string& redirectURI) const
{
    return tokenRequest({{"code", code},
                         {"code_verifier", verifier},
                         {"redirect_uri", redirectURI},
                         {"grant_type", "authorization_code"},
                         {"client_id", m_clientId}});
}

Request<Credentials> IdentityAuthentication::renewTokens(const std::string& refreshToken,
                                                         const std::optional<std::string>& scope) const
{
    nlohmann::json parameters{
        {"refresh_token", refreshToken}, {"grant_type", "refresh_token"}, {"client_id", m_clientId}};
    if (scope) {
        parameters["scope"] = *scope;
    }
    return tokenRequest(std::move(parameters));
}

Request<void> IdentityAuthentication::revokeRefreshToken(const std::string& refreshToken) const
{
    return Request<void>(m_session, m_url + "oauth/revoke", "POST", noBodyHandler(),
                         {{"token", refreshToken}, {"client_id", m_clientId}}, {}, m_telemetry);
}

Request<JWKS> IdentityAuthentication::fetchKeySet() const
{
    return {m_session,
            m_url + ".well-known/jwks.json",
            "GET",
            objectHandler<JWKS>(&JWKS::decode),
            nlohmann::json::object(),
            {},
            m_telemetry};
}

IdentityConfiguration requireIdentityConfiguration(const std::filesystem::path& bundle)
{
    auto configuration = loadIdentityConfiguration(bundle);
    if (!configuration) {
        for (const auto& line : configuration.error()) {
            // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
            std::printf("%s\n", line.c_str());
        }
        std::fflush(stdout);
        // Worker threads may be running: static destructors must not pull their state away.
        std::_Exit(EXIT_FAILURE);
    }
    return std::move(*configuration);
}

std::shared_ptr<IdentityAuthentication> makeAuthentication(std::shared_ptr<HttpClient> session,
                                                           const std::filesystem::path& bundle)
{
    auto configuration = requireIdentityConfiguration(bundle);
    return std::make_shared<IdentityAuthentication>(std::move(configuration.clientId), baseURL(configuration.domain),
                                                    std::move(session));
}

} // namespace parlomatic::identity
