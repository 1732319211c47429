#include "panels/TranslateState.h"

#include "service/LanguageRecognizer.h"
#include "service/Preferences.h"
#include "service/ServiceCall.h"
#include "service/Translator.h"

namespace parlomatic::panels {

TranslateState::TranslateState(service::Session& session, const service::Translator& translator,
                               const service::LanguageRecognizer& recognizer, service::Preferences& preferences,
                               QObject* parent)
    : QObject(parent), m_session(session), m_translator(translator), m_recognizer(recognizer),
      m_preferences(preferences), m_targetLanguage(preferences.primaryLanguage())
{}

void TranslateState::setActionClose(std::function<void()> action)
{
    m_actionClose = action ? std::move(action) : [] {};
}

void TranslateState::triggerClose() const
{
    const std::function<void()> action = m_actionClose;
    action();
}

void TranslateState::setTargetLanguage(service::Language language)
{
    m_targetLanguage = language;
    m_preferences.setTranslateTargetLanguage(language);
    emit targetLanguageChanged(language);
    startTranslation();
}

void TranslateState::setInputText(std::optional<QString> text)
{
    m_inputText = std::move(text);
    startTranslation();
}

void TranslateState::setTargetText(const QString& text)
{
    m_targetText = text;
    emit targetTextChanged(text);
}

void TranslateState::startTranslation()
{
    if (!m_inputText) {
        return;
    }
    const quint64 request = ++m_latestRequest;
    setTargetText(loadingText);
    callService(
        m_session, this,
        [this, text = m_inputText->toStdString(), target = std::string(code(m_targetLanguage))](
            const service::ServiceAccess& access) -> std::optional<std::string> {
            // Without a token the service can only refuse.
            if (access.accessToken.empty()) {
                return std::nullopt;
            }
            auto result = m_translator.translate(text, target, access.accessToken, m_recognizer.dominantLanguage(text),
                                                 access.gender);
            return result ? std::optional(std::move(result->text)) : std::nullopt;
        },
        [this, request](std::optional<std::string> translated) {
            if (request == m_latestRequest) {
                setTargetText(translated ? QString::fromStdString(*translated) : QString(failedText));
            }
        });
}

} // namespace parlomatic::panels
