#pragma once

#include "service/LanguageRecognizer.h"
#include "service/Session.h"

#include <QCoreApplication>

namespace parlomatic::service {

// A session whose token and gender the test sets; a refresh finishes on the event loop's next turn.
class FakeSession final : public Session {
public:
    void refreshSession(std::function<void()> done) override
    {
        ++refreshes;
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(done), Qt::QueuedConnection);
    }
    std::string accessToken() const override { return token; }
    std::optional<Gender> preferredGender() const override { return gender; }

    std::string token = "secret-token";
    std::optional<Gender> gender;
    int refreshes = 0;
};

// A recogniser that answers the tag the test sets, whatever the text.
class FakeLanguageRecognizer final : public LanguageRecognizer {
public:
    std::optional<std::string> dominantLanguage(std::string_view) const override { return tag; }
    std::optional<std::string> tag;
};

} // namespace parlomatic::service
