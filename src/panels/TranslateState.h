#pragma once

#include "service/Language.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace parlomatic::service {
class LanguageRecognizer;
class Preferences;
class Session;
class Translator;
} // namespace parlomatic::service

namespace parlomatic::panels {

// The translation panel's state, which also runs its translations. Setting the input text, or the
// target language, starts a translation of the input into the target: the shown text becomes
// "Loading..." at once and later the translation. Only the answer to the newest request is shown,
// so the text is always in the language the menu shows; when no answer can come (no token, a
// failed call) the shown text says so in one line. GUI thread only; collaborators must outlive the
// requests this object starts.
class TranslateState : public QObject {
    Q_OBJECT
public:
    static constexpr QLatin1StringView loadingText{"Loading..."};
    static constexpr QLatin1StringView failedText{"The translation failed."};

    // The starting language is the stored "primaryLanguage" (English (US) when absent or unknown).
    TranslateState(service::Session& session, const service::Translator& translator,
                   const service::LanguageRecognizer& recognizer, service::Preferences& preferences,
                   QObject* parent = nullptr);

    const std::function<void()>& actionClose() const { return m_actionClose; }
    void setActionClose(std::function<void()> action);
    // Runs the close callback held now.
    void triggerClose() const;

    service::Language targetLanguage() const { return m_targetLanguage; }
    // Stores the language under "translateTargetLanguage" and translates the input into it.
    void setTargetLanguage(service::Language language);

    const std::optional<QString>& inputText() const { return m_inputText; }
    // Translates the text; nothing changes nothing on screen.
    void setInputText(std::optional<QString> text);

    // What the panel shows; nothing before the first request.
    const std::optional<QString>& targetText() const { return m_targetText; }

signals:
    void targetLanguageChanged(parlomatic::service::Language language);
    void targetTextChanged(const QString& text);

private:
    void startTranslation();
    void setTargetText(const QString& text);

    service::Session& m_session;
    const service::Translator& m_translator;
    const service::LanguageRecognizer& m_recognizer;
    service::Preferences& m_preferences;
    std::function<void()> m_actionClose = [] {};
    service::Language m_targetLanguage;
    std::optional<QString> m_inputText;
    std::optional<QString> m_targetText;
    // Numbers the requests; an answer is shown only when it belongs to the newest.
    quint64 m_latestRequest = 0;
};

} // namespace parlomatic::panels
