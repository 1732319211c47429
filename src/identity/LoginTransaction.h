#pragma once

#include "identity/PKCE.h"
#include "identity/WebAuth.h"
#include "identity/WebSession.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace parlomatic::identity {

// One running sign-in: its web session, the state it sent and its grant handler. It delivers
// exactly one result and closes its web session before doing so.
class LoginTransaction {
public:
    LoginTransaction(std::unique_ptr<WebSession> userAgent, std::optional<std::string> state, PKCE handler,
                     WebAuth::Callback callback, std::function<void()> onClose);

    WebSession& userAgent() { return *m_userAgent; }
    // False when the values carry another state than the one sent: the URL is not this flow's.
    bool owns(const nlohmann::json& values) const;
    // Finishes with the callback URL's values (nothing: the URL did not parse); blocks for the
    // code exchange and the key-set fetch.
    void resume(const std::optional<nlohmann::json>& values, const std::string& url);
    void fail(WebAuthError error);

private:
    void deliver(WebAuth::Result result);

    std::unique_ptr<WebSession> m_userAgent;
    std::optional<std::string> m_state;
    PKCE m_handler;
    WebAuth::Callback m_callback;
    std::function<void()> m_onClose;
};

// Holds the process's one running sign-in. Whoever takes the transaction out of the store
// (the callback URL, a failure of the web session) is the one that finishes it.
class TransactionStore {
public:
    static TransactionStore& shared();

    bool isActive() const;
    // False when another transaction is running.
    bool begin(std::shared_ptr<LoginTransaction> transaction);
    // Hands a callback URL to the running transaction. False when there is none or the URL carries
    // another state; the transaction then keeps waiting.
    bool resume(const std::string& url);
    // Ends `transaction` with `error` unless it has already been taken out.
    void fail(const std::shared_ptr<LoginTransaction>& transaction, WebAuthError error);

private:
    bool take(const std::shared_ptr<LoginTransaction>& transaction);

    mutable std::mutex m_mutex;
    std::shared_ptr<LoginTransaction> m_current;
};

} // namespace parlomatic::identity
