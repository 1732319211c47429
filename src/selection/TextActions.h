#pragma once

#include "selection/Notices.h"
#include "selection/TextSelectionPoller.h"
#include "selection/WriteBack.h"
#include "service/Translator.h"

#include <QObject>

namespace parlomatic::service {
class LanguageRecognizer;
class Preferences;
class Session;
} // namespace parlomatic::service

namespace parlomatic::selection {

// What the actions panel's buttons do: Translate opens the translation panel over the selection;
// Replace translates the selection and writes the result over it; Improve rewrites it in place.
// Replace and Improve stop polling and hide the strip while their request runs, and restart
// polling whatever the outcome. Service calls run on the shared thread pool; the write-back checks
// run where the accessibility layer lives, the paste on the GUI thread. Every collaborator must outlive the requests
// this object starts.
class TextActions : public QObject {
    Q_OBJECT
public:
    TextActions(service::Session& session, const service::Translator& translator,
                const service::LanguageRecognizer& recognizer, service::Preferences& preferences, WriteBack& writeBack,
                QObject* parent = nullptr);

    // The handlers to install into a poller.
    SelectionActions selectionActions();

    void translate(TextSelectionPoller& poller, const SelectionSnapshot& selection);
    // Writes the translation only when its request started after that of the last one written
    // (the poller's latestReplacement), and never the service's "No translated text." message.
    void replace(TextSelectionPoller& poller, const SelectionSnapshot& selection, service::Language target);
    // Never writes an empty improvement, which would delete the selection.
    void improve(TextSelectionPoller& poller, const SelectionSnapshot& selection);

    // Where Replace and Improve tell the user that they failed (the service did not answer, or
    // nothing could be written); none: the log lines alone. `notices` must outlive this object.
    void setNotices(Notices* notices) { m_notices = notices; }

    struct Notice {
        NoticeCause cause;
        const char* message;
    };
    static constexpr Notice serviceUnreachable{.cause = NoticeCause::service,
                                               .message = "Parlomatic could not reach the text service."};
    static constexpr Notice serviceRefused{.cause = NoticeCause::service,
                                           .message = "The text service could not do this just now."};
    static constexpr Notice noTranslation{.cause = NoticeCause::service,
                                          .message = "The text service sent no translation, so nothing was replaced."};
    static constexpr Notice nothingToImprove{.cause = NoticeCause::service,
                                             .message = "The text service found nothing to improve."};
    static constexpr Notice selectionMovedOn{.cause = NoticeCause::write,
                                             .message = "The selection changed, so nothing was replaced."};
    static constexpr Notice fieldGone{.cause = NoticeCause::write,
                                      .message = "The text field is gone, so nothing was replaced."};
    static constexpr Notice writeFailed{.cause = NoticeCause::write,
                                        .message = "Parlomatic could not write into the application."};
    static constexpr Notice notTaken{.cause = NoticeCause::write,
                                     .message = "The application did not take the text, so nothing was replaced."};
    static constexpr Notice pasteYourself{
        .cause = NoticeCause::userMustAct,
        .message = "This application does not let Parlomatic write into it. The text is on the clipboard: "
                   "press Ctrl+V to paste it."};
    static constexpr Notice unconfirmed{
        .cause = NoticeCause::userMustAct,
        .message = "Parlomatic could not see the text arrive in the application. It is on the clipboard: "
                   "if it is missing, press Ctrl+V to paste it."};
    static constexpr Notice applicationSilent{.cause = NoticeCause::write,
                                              .message = "The application did not answer, so nothing was replaced."};

private:
    void tell(const Notice& notice) const;
    void tellFailure(const service::TranslatorError& error) const;
    // What the write-back's outcome tells the user.
    std::function<void(const WriteResult&)> writeOutcome();

    // The source language of a Replace: the recognised language when it is one of ours, else the
    // stored "primaryLanguage" as it is.
    std::string sourceLanguage(const std::string& text, const std::string& primaryLanguage) const;

    service::Session& m_session;
    const service::Translator& m_translator;
    const service::LanguageRecognizer& m_recognizer;
    service::Preferences& m_preferences;
    WriteBack& m_writeBack;
    Notices* m_notices = nullptr;
};

} // namespace parlomatic::selection
