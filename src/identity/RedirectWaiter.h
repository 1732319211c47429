#pragma once

#include "common/UniqueResource.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace parlomatic::identity {

// What a browser sign-in waits on, on a thread of its own: requests to its loopback redirect URL
// (when it has a listener) and its time-out. Each connection carries one request, answered and
// closed; a connection that sends no whole request head within two seconds is dropped, without
// holding up the others.
class RedirectWaiter {
public:
    struct Answer {
        int status = 404;
        std::string page; // HTML; empty for none
    };
    struct Events {
        // A GET request's target ("/callback?code=..."): what to answer. On the waiter's thread.
        std::function<Answer(const std::string& target)> request;
        // The time-out passed; called once, on the waiter's thread.
        std::function<void()> timedOut;
    };

    // A listener on 127.0.0.1:`port` (0: an ephemeral one), bound and listening; nothing when the
    // port cannot be had. `bound` gets the port.
    static UniqueFd listenOnLoopback(int port, int& bound);

    // Starts waiting; `listener` may be empty (a redirect that comes another way).
    RedirectWaiter(UniqueFd listener, std::chrono::milliseconds timeout, Events events);
    // Stops, without waiting for the thread: it may be the very thread that ends the session, or
    // be busy with a request's answer. It is joined once it has returned, when a later waiter
    // starts or at exit.
    ~RedirectWaiter();
    RedirectWaiter(const RedirectWaiter&) = delete;
    RedirectWaiter& operator=(const RedirectWaiter&) = delete;

    // Ends the wait from any thread, also the waiter's own: no event comes once a call in progress
    // has returned, and the listener refuses connections from now on.
    void stop();

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::jthread m_thread;
};

} // namespace parlomatic::identity
