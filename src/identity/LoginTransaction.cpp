#include "identity/LoginTransaction.h"

#include "identity/URLText.h"

#include <utility>

namespace parlomatic::identity {

LoginTransaction::LoginTransaction(std::unique_ptr<WebSession> userAgent, std::optional<std::string> state,
                                   PKCE handler, WebAuth::Callback callback, std::function<void()> onClose)
    : m_userAgent(std::move(userAgent)), m_state(std::move(state)), m_handler(std::move(handler)),
      m_callback(std::move(callback)), m_onClose(std::move(onClose))
{}

bool LoginTransaction::owns(const nlohmann::json& values) const
{
    if (!m_state) {
        return true;
    }
    const auto state = values.find("state");
    return state != values.end() && state->is_string() && state->get<std::string>() == *m_state;
}

void LoginTransaction::resume(const std::optional<nlohmann::json>& values, const std::string& url)
{
    if (!values) {
        // Only up to the query: whatever follows may hold an authorization code, and errors get logged.
        deliver(
            std::unexpected(WebAuthError::unknown("Invalid callback URL: " + url.substr(0, url.find_first_of("?#")))));
        return;
    }
    m_userAgent->close();
    if (m_onClose) {
        m_onClose();
    }
    if (values->contains("error")) {
        deliver(std::unexpected(WebAuthError(WebAuthError::Code::other, AuthenticationError(*values, 0))));
        return;
    }
    deliver(m_handler.finish(*values));
}

void LoginTransaction::fail(WebAuthError error)
{
    deliver(std::unexpected(std::move(error)));
}

void LoginTransaction::deliver(WebAuth::Result result)
{
    m_userAgent->close();
    if (auto callback = std::exchange(m_callback, nullptr)) {
        callback(std::move(result));
    }
}

TransactionStore& TransactionStore::shared()
{
    static TransactionStore store;
    return store;
}

bool TransactionStore::isActive() const
{
    const std::lock_guard lock(m_mutex);
    return m_current != nullptr;
}

bool TransactionStore::begin(std::shared_ptr<LoginTransaction> transaction)
{
    const std::lock_guard lock(m_mutex);
    if (m_current) {
        return false;
    }
    m_current = std::move(transaction);
    return true;
}

bool TransactionStore::take(const std::shared_ptr<LoginTransaction>& transaction)
{
    const std::lock_guard lock(m_mutex);
    if (!transaction || m_current != transaction) {
        return false;
    }
    m_current.reset();
    return true;
}

bool TransactionStore::resume(const std::string& url)
{
    std::shared_ptr<LoginTransaction> transaction;
    {
        const std::lock_guard lock(m_mutex);
        transaction = m_current;
    }
    if (!transaction) {
        return false;
    }
    const auto values = callbackValues(url);
    // A redirect of another flow (another state) must not end this one: the user's own sign-in may
    // still arrive.
    if (values && !transaction->owns(*values)) {
        return false;
    }
    if (!take(transaction)) {
        return false;
    }
    transaction->resume(values, url);
    return true;
}

void TransactionStore::fail(const std::shared_ptr<LoginTransaction>& transaction, WebAuthError error)
{
    if (take(transaction)) {
        transaction->fail(std::move(error));
    }
}

} // namespace parlomatic::identity
