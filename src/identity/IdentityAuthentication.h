#pragma once

#include "common/Clock.h"
#include "common/ConfFile.h"
#include "common/HttpClient.h"
#include "identity/Authentication.h"

#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace parlomatic::identity {

// The client identifier and tenant domain of "Identity.conf".
struct IdentityConfiguration {
    std::string clientId;
    std::string domain;
};

// Reads "Identity.conf" of the bundle folder. On failure, the lines that explain it (to be
// printed on standard output before the process stops).
std::expected<IdentityConfiguration, std::vector<std::string>>
loadIdentityConfiguration(const std::filesystem::path& bundle);

// The configuration of the bundle, or, when it is missing or incomplete, the reason on standard
// output and a stop of the process.
IdentityConfiguration requireIdentityConfiguration(const std::filesystem::path& bundle);

// "https://" in front unless the domain begins with "https"; "/" at the end unless present.
std::string baseURL(const std::string& domain);

// The identity service client over HTTPS.
class IdentityAuthentication final : public Authentication {
public:
    // `url` is used as the base URL, with "/" appended unless it ends with one. Expiry times of
    // token sets count from `clock`, which must outlive the client.
    IdentityAuthentication(std::string clientId, std::string url, std::shared_ptr<HttpClient> session,
                           Telemetry telemetry = Telemetry::standard(), const Clock& clock = systemClock());

    const std::string& clientId() const override { return m_clientId; }
    const std::string& url() const override { return m_url; }
    const Telemetry& telemetry() const { return m_telemetry; }

    Request<Credentials> exchangeCode(const std::string& code, const std::string& verifier,
                                      const std::string& redirectURI) const override;
    Request<Credentials> renewTokens(const std::string& refreshToken,
                                     const std::optional<std::string>& scope = std::nullopt) const override;
    Request<void> revokeRefreshToken(const std::string& refreshToken) const override;
    Request<JWKS> fetchKeySet() const override;

private:
    Request<Credentials> tokenRequest(nlohmann::json parameters) const;

    std::string m_clientId;
    std::string m_url;
    std::shared_ptr<HttpClient> m_session;
    Telemetry m_telemetry;
    const Clock* m_clock;
};

// The client of the deployment's "Identity.conf", with standard telemetry. When the file is
// missing or incomplete, the reason goes to standard output and the process stops: the program
// cannot run without its identity service.
std::shared_ptr<IdentityAuthentication> makeAuthentication(std::shared_ptr<HttpClient> session,
                                                           const std::filesystem::path& bundle = bundleDirectory());

} // namespace parlomatic::identity
