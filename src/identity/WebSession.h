#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <string>

namespace parlomatic::identity {

// How a web session ended without a callback URL.
struct WebSessionFailure {
    // The user cancelled, closed the prompt, or let it time out.
    bool cancelled = false;
    // For other failures: what went wrong (never a URL with its query).
    std::string message;
};

// The browser half of a sign-in: shows the authorize page to the user and hands back the URL that
// the identity service redirects to.
class WebSession {
public:
    struct Handlers {
        // A request that arrived on the redirect URL, as an absolute URL. Answers false when the URL
        // is not this flow's (another state): the session then keeps waiting.
        std::function<bool(const std::string& callbackURL)> onCallback;
        // The session ended without a callback URL.
        std::function<void(const WebSessionFailure& failure)> onFailure;
    };

    virtual ~WebSession() = default;

    // Gets ready to receive `redirectURL` (for instance binds its port) and answers the redirect URL
    // to send, or why it cannot be served.
    virtual std::expected<std::string, std::string> prepare(const std::string& redirectURL) = 0;
    // Shows `authorizeURL`; `ephemeral` asks for a fresh login without shared browser state.
    // Handlers may run on any thread, each at most until close().
    virtual void start(const std::string& authorizeURL, bool ephemeral, Handlers handlers) = 0;
    // Stops waiting and takes down what the session shows. Idempotent; any thread, also a handler's.
    virtual void close() = 0;
};

using WebSessionFactory = std::function<std::unique_ptr<WebSession>()>;

} // namespace parlomatic::identity
