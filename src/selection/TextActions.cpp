#include "selection/TextActions.h"

#include "common/Log.h"
#include "selection/PanelPlacement.h"
#include "selection/WriteBack.h"
#include "service/LanguageRecognizer.h"
#include "service/Preferences.h"
#include "service/ServiceCall.h"
#include "service/Translator.h"

#include <QPointer>

namespace parlomatic::selection {

TextActions::TextActions(service::Session& session, const service::Translator& translator,
                         const service::LanguageRecognizer& recognizer, service::Preferences& preferences,
                         WriteBack& writeBack, QObject* parent)
    : QObject(parent), m_session(session), m_translator(translator), m_recognizer(recognizer),
      m_preferences(preferences), m_writeBack(writeBack)
{}

void TextActions::tell(const Notice& notice) const
{
    if (m_notices != nullptr) {
        m_notices->tell(notice.cause, QString::fromLatin1(notice.message));
    }
}

void TextActions::tellFailure(const service::TranslatorError& error) const
{
    tell(error.kind == service::TranslatorError::Kind::unreachable ? serviceUnreachable : serviceRefused);
}

std::function<void(const WriteResult&)> TextActions::writeOutcome()
{
    return [this, guard = QPointer<TextActions>(this)](const WriteResult& result) {
        if (!guard || result) {
            return;
        }
        using Kind = WriteError::Kind;
        switch (result.error().kind) {
        case Kind::refused:
            tell(selectionMovedOn);
            break;
        case Kind::gone:
            tell(fieldGone);
            break;
        case Kind::unanswered:
            tell(applicationSilent);
            break;
        case Kind::onClipboard:
            tell(pasteYourself);
            break;
        case Kind::unconfirmed:
            tell(unconfirmed);
            break;
        case Kind::notTaken:
            tell(notTaken);
            break;
        case Kind::failed:
            tell(writeFailed);
            break;
        }
    };
}

SelectionActions TextActions::selectionActions()
{
    SelectionActions actions;
    actions.translate = [this](TextSelectionPoller& poller, const SelectionSnapshot& selection) {
        translate(poller, selection);
    };
    actions.replace = [this](TextSelectionPoller& poller, const SelectionSnapshot& selection,
                             service::Language target) { replace(poller, selection, target); };
    actions.improve = [this](TextSelectionPoller& poller, const SelectionSnapshot& selection) {
        improve(poller, selection);
    };
    actions.installTranslateClose = [](TextSelectionPoller& poller) {
        if (TranslatePanel* panel = poller.translatePanel()) {
            panel->setActionClose([panel] { panel->close(); });
        }
    };
    return actions;
}

void TextActions::translate(TextSelectionPoller& poller, const SelectionSnapshot& selection)
{
    TranslatePanel* panel = poller.translatePanel();
    if (panel == nullptr) {
        return;
    }
    panel->setInputText(selection.selectedText);
    poller.actionsPanel().close();
    if (const auto frame = translatePanelFrame(selection.rect, panel->idealSize(), poller.screens())) {
        panel->setFrame(*frame);
    }
    panel->orderFront();
    poller.setPausedSelectedText(selection.trimmedText);
}

std::string TextActions::sourceLanguage(const std::string& text, const std::string& primaryLanguage) const
{
    const std::optional<std::string> tag = m_recognizer.dominantLanguage(text);
    const std::optional<service::Language> language = tag ? service::fromLanguageTag(*tag) : std::nullopt;
    return language ? std::string(code(*language)) : primaryLanguage;
}

void TextActions::replace(TextSelectionPoller& poller, const SelectionSnapshot& selection, service::Language target)
{
    poller.stopPolling();
    poller.actionsPanel().close();
    callService(
        m_session, &poller,
        [this, text = selection.trimmedText.toStdString(), target,
         primary = m_preferences.primaryLanguageCode()](const service::ServiceAccess& access) {
            return m_translator.translate(text, std::string(code(target)), access.accessToken,
                                          sourceLanguage(text, primary), access.gender);
        },
        [this, poller = &poller, element = selection.element, selected = selection.trimmedText](
            const std::expected<service::TranslateResult, service::TranslatorError>& result) {
            if (!result) {
                tellFailure(result.error());
            } else if (result->isPlaceholder) {
                logError("The service sent no translation; nothing was written back.");
                tell(noTranslation);
            } else if (result->startTime > poller->latestReplacement()) {
                poller->setLatestReplacement(result->startTime);
                m_writeBack.writeText(element, selected, QString::fromStdString(result->text), writeOutcome());
            }
            poller->startPolling();
        });
}

void TextActions::improve(TextSelectionPoller& poller, const SelectionSnapshot& selection)
{
    poller.stopPolling();
    poller.actionsPanel().close();
    callService(
        m_session, &poller,
        [this, text = selection.trimmedText.toStdString()](const service::ServiceAccess& access) {
            return m_translator.improve(text, access.accessToken);
        },
        [this, poller = &poller, element = selection.element,
         selected = selection.trimmedText](const std::expected<std::string, service::TranslatorError>& improved) {
            if (!improved) {
                tellFailure(improved.error());
            } else if (improved->empty()) {
                logError("The service sent an empty improvement; nothing was written back.");
                tell(nothingToImprove);
            } else {
                m_writeBack.writeText(element, selected, QString::fromStdString(*improved), writeOutcome());
            }
            poller->startPolling();
        });
}

} // namespace parlomatic::selection
