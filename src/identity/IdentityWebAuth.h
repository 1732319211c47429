#pragma once

#include "common/Clock.h"
#include "common/ConfFile.h"
#include "common/HttpClient.h"
#include "identity/Telemetry.h"
#include "identity/WebAuth.h"
#include "identity/WebSession.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace parlomatic::identity {

class TransactionStore;

// The WebAuth of the identity service's tenant: PKCE S256, a random state, the authorize URL, the
// web session, the code exchange and the ID-token validation.
class IdentityWebAuth final : public WebAuth {
public:
    // `storage` (default: the process-wide store) and `clock` must outlive every flow.
    IdentityWebAuth(std::string clientId, std::string url, std::shared_ptr<HttpClient> session,
                    Telemetry telemetry = Telemetry::standard(), const Clock& clock = systemClock(),
                    TransactionStore* storage = nullptr);

    IdentityWebAuth& scope(const std::string& scope) override;
    IdentityWebAuth& audience(const std::string& audience) override;
    IdentityWebAuth& redirectURL(const std::string& url) override;
    IdentityWebAuth& enableEphemeralSession() override;
    IdentityWebAuth& connection(const std::string& connection);
    IdentityWebAuth& connectionScope(const std::string& scope);
    // A state of the caller's own instead of a random one.
    IdentityWebAuth& state(const std::string& state);
    IdentityWebAuth& nonce(const std::string& nonce);
    IdentityWebAuth& maxAge(std::int64_t seconds);
    IdentityWebAuth& organization(const std::string& organization);
    // A link of the tenant carrying "organization" and "invitation" query items.
    IdentityWebAuth& invitationURL(const std::string& url);
    // Milliseconds of clock skew allowed when the ID token's times are checked.
    IdentityWebAuth& leeway(std::int64_t milliseconds);
    IdentityWebAuth& issuer(const std::string& issuer);
    // Extra authorize parameters; one of the same name as a built-in one replaces it.
    IdentityWebAuth& parameters(const std::map<std::string, std::string>& extra);
    // The bundle identifier for the default redirect URL (used only when none is set).
    IdentityWebAuth& bundleIdentifier(const std::string& identifier);
    // The web session of this value's flows, instead of defaultProvider().
    IdentityWebAuth& provider(WebSessionFactory factory);
    IdentityWebAuth& onClose(std::function<void()> action);

    void start(Callback callback) override;

    const std::string& clientId() const { return m_clientId; }
    const std::string& url() const { return m_url; }
    const std::map<std::string, std::string>& parameters() const { return m_parameters; }
    bool ephemeralSession() const { return m_ephemeralSession; }
    std::int64_t leeway() const { return m_leeway; }
    const std::string& issuer() const { return m_issuer; }
    // The configured redirect URL, or the default one; nothing without a bundle identifier.
    std::optional<std::string> redirectURL() const;

    // The web session used when a value has no provider of its own. The application shell installs
    // the system browser at start; until then a flow fails with webViewFailure.
    static void setDefaultProvider(WebSessionFactory factory);
    static WebSessionFactory defaultProvider();

private:
    std::string m_clientId;
    std::string m_url;
    std::shared_ptr<HttpClient> m_session;
    Telemetry m_telemetry;
    const Clock* m_clock;
    TransactionStore* m_storage;

    std::string m_platform = "linux";
    std::string m_responseType = "code";
    std::map<std::string, std::string> m_parameters;
    bool m_ephemeralSession = false;
    std::string m_issuer;
    std::int64_t m_leeway = 60000;
    std::optional<std::string> m_nonce;
    std::optional<std::int64_t> m_maxAge;
    std::optional<std::string> m_organization;
    std::optional<std::string> m_invitationURL;
    std::optional<std::string> m_redirectURL;
    std::optional<std::string> m_bundleIdentifier;
    WebSessionFactory m_provider;
    std::function<void()> m_onClose;
};

// The sign-in of the deployment's "Identity.conf" (read as makeAuthentication reads it, with the
// same stop when it is missing or incomplete), with the bundle identifier of its "Info.conf".
std::shared_ptr<IdentityWebAuth> makeWebAuth(std::shared_ptr<HttpClient> session,
                                             const std::filesystem::path& bundle = bundleDirectory());

} // namespace parlomatic::identity
