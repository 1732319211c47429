#include "identity/IdentityWebAuth.h"

#include "identity/LoginTransaction.h"
#include "identity/URLText.h"

#include <mutex>
#include <utility>

namespace parlomatic::identity {
namespace {

std::mutex providerMutex;
WebSessionFactory& providerSlot()
{
    static WebSessionFactory factory;
    return factory;
}

std::string queryOf(const std::map<std::string, std::string>& items)
{
    std::string query;
    for (const auto& [name, value] : items) {
        query += (query.empty() ? "" : "&") + percentEncode(name) + "=" + percentEncode(value);
    }
    return query;
}

} // namespace

IdentityWebAuth::IdentityWebAuth(std::string clientId, std::string url, std::shared_ptr<HttpClient> session,
                                 Telemetry telemetry, const Clock& clock, TransactionStore* storage)
    : m_clientId(std::move(clientId)), m_url(std::move(url)), m_session(std::move(session)),
      m_telemetry(std::move(telemetry)), m_clock(&clock), m_storage(storage ? storage : &TransactionStore::shared())
{
    if (!m_url.ends_with('/')) {
        m_url += '/';
    }
    m_issuer = m_url;
}

IdentityWebAuth& IdentityWebAuth::scope(const std::string& scope)
{
    m_parameters["scope"] = scope;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::audience(const std::string& audience)
{
    m_parameters["audience"] = audience;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::redirectURL(const std::string& url)
{
    m_redirectURL = url;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::enableEphemeralSession()
{
    m_ephemeralSession = true;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::connection(const std::string& connection)
{
    m_parameters["connection"] = connection;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::connectionScope(const std::string& scope)
{
    m_parameters["connection_scope"] = scope;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::state(const std::string& state)
{
    m_parameters["state"] = state;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::nonce(const std::string& nonce)
{
    m_nonce = nonce;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::maxAge(std::int64_t seconds)
{
    m_maxAge = seconds;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::organization(const std::string& organization)
{
    m_organization = organization;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::invitationURL(const std::string& url)
{
    m_invitationURL = url;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::leeway(std::int64_t milliseconds)
{
    m_leeway = milliseconds;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::issuer(const std::string& issuer)
{
    m_issuer = issuer;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::parameters(const std::map<std::string, std::string>& extra)
{
    for (const auto& [name, value] : extra) {
        m_parameters[name] = value;
    }
    return *this;
}

IdentityWebAuth& IdentityWebAuth::bundleIdentifier(const std::string& identifier)
{
    m_bundleIdentifier = identifier;
    return *this;
}

IdentityWebAuth& IdentityWebAuth::provider(WebSessionFactory factory)
{
    m_provider = std::move(factory);
    return *this;
}

IdentityWebAuth& IdentityWebAuth::onClose(std::function<void()> action)
{
    m_onClose = std::move(action);
    return *this;
}

std::optional<std::string> IdentityWebAuth::redirectURL() const
{
    if (m_redirectURL) {
        return m_redirectURL;
    }
    const auto base = parseURL(m_url);
    if (!m_bundleIdentifier || m_bundleIdentifier->empty() || !base) {
        return std::nullopt;
    }
    // The base URL with the bundle identifier as its scheme, then platform/bundle/callback.
    const std::string authority = m_url.substr(m_url.find("//"), base->authorityEnd - m_url.find("//"));
    return *m_bundleIdentifier + ":" + authority + "/" + m_platform + "/" + *m_bundleIdentifier + "/callback";
}

void IdentityWebAuth::setDefaultProvider(WebSessionFactory factory)
{
    const std::lock_guard lock(providerMutex);
    providerSlot() = std::move(factory);
}

WebSessionFactory IdentityWebAuth::defaultProvider()
{
    const std::lock_guard lock(providerMutex);
    return providerSlot();
}

void IdentityWebAuth::start(Callback callback)
{
    if (m_storage->isActive()) {
        callback(std::unexpected(WebAuthError(WebAuthError::Code::transactionActiveAlready)));
        return;
    }
    const auto redirect = redirectURL();
    if (!redirect) {
        callback(std::unexpected(WebAuthError(WebAuthError::Code::noBundleIdentifier)));
        return;
    }
    auto organization = m_organization;
    std::optional<std::string> invitation;
    if (m_invitationURL) {
        const auto values = callbackValues(*m_invitationURL);
        if (!values || !values->contains("organization") || !values->contains("invitation")) {
            callback(std::unexpected(WebAuthError::invalidInvitationURL(*m_invitationURL)));
            return;
        }
        organization = (*values)["organization"].get<std::string>();
        invitation = (*values)["invitation"].get<std::string>();
    }
    const auto factory = m_provider ? m_provider : defaultProvider();
    auto userAgent = factory ? factory() : nullptr;
    if (!userAgent) {
        callback(std::unexpected(WebAuthError::webViewFailure("No browser session is available for signing in")));
        return;
    }
    auto prepared = userAgent->prepare(*redirect);
    if (!prepared) {
        callback(std::unexpected(WebAuthError::webViewFailure("Unable to receive the redirect URL", prepared.error())));
        return;
    }
    auto handler = PKCE::make(
        IdentityAuthentication(m_clientId, m_url, m_session, m_telemetry, *m_clock), *prepared,
        {.issuer = m_issuer, .leeway = m_leeway, .maxAge = m_maxAge, .organization = organization, .nonce = m_nonce},
        *m_clock);
    if (!handler) {
        callback(std::unexpected(WebAuthError::webViewFailure("The random generator failed")));
        return;
    }
    const auto sentState = m_parameters.contains("state") ? std::optional(m_parameters.at("state")) : randomURLSafe();

    auto query = handler->defaults();
    query["scope"] = m_parameters.contains("scope") ? m_parameters.at("scope") : "openid profile email";
    query["client_id"] = m_clientId;
    query["response_type"] = m_responseType;
    query["redirect_uri"] = *prepared;
    if (sentState) {
        query["state"] = *sentState;
    }
    if (organization) {
        query["organization"] = *organization;
    }
    if (invitation) {
        query["invitation"] = *invitation;
    }
    if (m_maxAge) {
        query["max_age"] = std::to_string(*m_maxAge);
    }
    if (m_ephemeralSession) {
        // A browser keeps its cookies; only the identity service can be asked for a fresh login.
        query["prompt"] = "login";
    }
    for (const auto& [name, value] : m_parameters) {
        query[name] = value;
    }
    nlohmann::json scopeRule{{"scope", query["scope"]}};
    applyScopeRule(scopeRule);
    query["scope"] = scopeRule["scope"].get<std::string>();
    std::string authorizeURL = m_url + "authorize?" + queryOf(query);
    if (m_telemetry.enabled && m_telemetry.info) {
        authorizeURL += "&identityClient=" + percentEncode(*m_telemetry.info);
    }

    auto transaction = std::make_shared<LoginTransaction>(std::move(userAgent), sentState, std::move(*handler),
                                                          std::move(callback), m_onClose);
    if (!m_storage->begin(transaction)) {
        transaction->fail(WebAuthError(WebAuthError::Code::transactionActiveAlready));
        return;
    }
    TransactionStore* store = m_storage;
    std::weak_ptr<LoginTransaction> weak = transaction;
    transaction->userAgent().start(
        authorizeURL, m_ephemeralSession,
        {.onCallback = [store](const std::string& url) { return store->resume(url); },
         .onFailure =
             [store, weak](const WebSessionFailure& failure) {
                 store->fail(weak.lock(), failure.cancelled ? WebAuthError(WebAuthError::Code::userCancelled)
                                                            : WebAuthError::webViewFailure("The browser session failed",
                                                                                           failure.message));
             }});
}

std::shared_ptr<IdentityWebAuth> makeWebAuth(std::shared_ptr<HttpClient> session, const std::filesystem::path& bundle)
{
    auto configuration = requireIdentityConfiguration(bundle);
    auto webAuth = std::make_shared<IdentityWebAuth>(std::move(configuration.clientId), baseURL(configuration.domain),
                                                     std::move(session));
    if (const auto info = ConfFile::load(bundle / "Info.conf")) {
        if (auto identifier = info->value("BundleIdentifier")) {
            webAuth->bundleIdentifier(*identifier);
        }
    }
    return webAuth;
}

} // namespace parlomatic::identity
