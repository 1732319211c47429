#pragma once

#include "identity/Credentials.h"
#include "identity/WebAuthError.h"

#include <expected>
#include <functional>
#include <string>

namespace parlomatic::identity {

// Sign-in through the browser: the authorization-code flow with PKCE. Builder operations change
// the value in place and return it.
class WebAuth {
public:
    using Result = std::expected<Credentials, WebAuthError>;
    using Callback = std::function<void(Result)>;

    virtual ~WebAuth() = default;

    virtual WebAuth& scope(const std::string& scope) = 0;
    virtual WebAuth& audience(const std::string& audience) = 0;
    // Used exactly as written in "redirect_uri" (the identity service compares it byte for byte),
    // except that a loopback URL without a fixed port carries the port actually bound.
    virtual WebAuth& redirectURL(const std::string& url) = 0;
    // Asks the identity service for a fresh login ("prompt=login").
    virtual WebAuth& enableEphemeralSession() = 0;

    // Runs the flow. The callback receives credentials whose ID token was validated, or an error,
    // exactly once, on any thread (often not the caller's). One flow at a time per process: a start
    // while one is open fails at once with transactionActiveAlready.
    virtual void start(Callback callback) = 0;
};

} // namespace parlomatic::identity
