#pragma once

#include "identity/WebSession.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace parlomatic::identity {

// What stands for the sign-in sheet while the browser is open (the "Continue in your browser"
// window). Its close() and destructor may run on any thread.
class BrowserPrompt {
public:
    virtual ~BrowserPrompt() = default;
    virtual void close() = 0;
};

// The system browser plus a one-shot loopback listener for the redirect URL (RFC 8252), or, for a
// private-use scheme redirect URL ("app.parlomatic.parlomatic:/callback", RFC 8252 section 7.1: a
// scheme with a dot), no listener: the desktop starts a second launch with the URL, which hands it
// to this process, and deliverRedirect() gives it to the session waiting for that scheme and path.
//
// The redirect URL must be "http://127.0.0.1[:port]/path" (or "localhost"); the listener binds
// 127.0.0.1 only, on that port, or on an ephemeral one when the port is 0 or absent (the redirect
// URL sent then carries the bound port; everything else stays as written). It answers only GET
// requests for the redirect path and ignores the rest (favicon, pre-connects). A callback is
// answered with a small page once the flow has taken it; a callback of another flow (another
// state) gets an error page and the session keeps waiting. The session ends as cancelled when the
// prompt is cancelled or closed, or when no callback came within the time-out. The user's browser
// keeps its own cookies whatever the ephemeral flag says; the sign-in asks the identity service
// for a fresh login instead.
class SystemBrowserSession final : public WebSession {
public:
    struct Options {
        // Opens the URL in the user's browser; false when no browser could be started.
        std::function<bool(const std::string& url)> openURL;
        // Shows the prompt for `authorizeURL`; `cancel` is run when the user cancels or closes it.
        // Optional: without it, a browser that does not open ends the session as failed.
        std::function<std::unique_ptr<BrowserPrompt>(const std::string& authorizeURL, std::function<void()> cancel)>
            showPrompt;
        std::chrono::milliseconds timeout = std::chrono::minutes(5);
    };

    explicit SystemBrowserSession(Options options);
    ~SystemBrowserSession() override;

    std::expected<std::string, std::string> prepare(const std::string& redirectURL) override;
    void start(const std::string& authorizeURL, bool ephemeral, Handlers handlers) override;
    void close() override;

    // The port the listener bound (0 before prepare(), and for a private-use scheme).
    int port() const;

    // Gives a private-use scheme URL to the started session waiting for its scheme and path. False
    // when no session waits for it or the waiting one refused it (another flow's answer): the URL
    // is dropped. Blocks while the sign-in redeems its code: not on the GUI thread. Any thread.
    static bool deliverRedirect(const std::string& url);

private:
    struct Shared;
    Options m_options;
    std::shared_ptr<Shared> m_shared;
};

} // namespace parlomatic::identity
