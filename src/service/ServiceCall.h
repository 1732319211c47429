#pragma once

#include "common/Async.h"
#include "service/Session.h"

#include <QPointer>

#include <optional>
#include <string>
#include <utility>

namespace parlomatic::service {

// What a text-service call takes from the session.
struct ServiceAccess {
    std::string accessToken;
    std::optional<Gender> gender;
};

// Waits for the session's refresh, reads its token and preferred gender on the GUI thread, runs
// `work(access)` on the shared thread pool, then `done(result)` back on the GUI thread, unless
// `context` is gone by then. Call on the GUI thread; `session` and whatever `work` uses must outlive
// the call.
template <typename Work, typename Done> void callService(Session& session, QObject* context, Work work, Done done)
{
    session.refreshSession(
        [&session, guard = QPointer<QObject>(context), work = std::move(work), done = std::move(done)]() mutable {
            if (!guard) {
                return;
            }
            runInBackground(
                guard.data(),
                [access = ServiceAccess{.accessToken = session.accessToken(), .gender = session.preferredGender()},
                 work = std::move(work)]() mutable { return work(access); },
                std::move(done));
        });
}

} // namespace parlomatic::service
