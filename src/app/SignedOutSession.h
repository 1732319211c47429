#pragma once

#include "service/Session.h"

#include <QCoreApplication>

namespace parlomatic {

// The session until sign-in exists: nobody is signed in, so there is no token and no gender.
class SignedOutSession final : public Session {
public:
    void refreshSession(std::function<void()> done) override
    {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(done), Qt::QueuedConnection);
    }
    std::string accessToken() const override { return {}; }
    std::optional<Gender> preferredGender() const override { return std::nullopt; }
};

} // namespace parlomatic
