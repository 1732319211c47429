#pragma once

#include "service/Gender.h"

#include <functional>
#include <optional>
#include <string>

namespace parlomatic::service {

// What every text-service caller needs from the signed-in session: a refresh to wait for before
// each call, then the access token and the user's preferred gender. The session state implements
// it; tests use a fake. GUI thread only: read the token and the gender inside `done`, then hand
// them to the worker that makes the call.
class Session {
public:
    virtual ~Session() = default;

    // Brings the access token up to date (renewing it through the identity service when it has
    // expired, without forcing a renewal), then runs `done` on the GUI thread, whatever the outcome.
    // Never calls `done` before returning.
    virtual void refreshSession(std::function<void()> done) = 0;
    // The bearer token for the text service; empty when nobody is signed in.
    virtual std::string accessToken() const = 0;
    // The signed-in user's preferred grammatical gender; nothing when signed out or not chosen.
    virtual std::optional<Gender> preferredGender() const = 0;

protected:
    Session() = default;
    Session(const Session&) = default;
    Session& operator=(const Session&) = default;
};

} // namespace parlomatic::service
