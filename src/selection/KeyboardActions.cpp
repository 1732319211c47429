#include "selection/KeyboardActions.h"

#include "common/Log.h"
#include "selection/LogCategories.h"
#include "selection/Notices.h"
#include "selection/TextSelectionPoller.h"
#include "service/Preferences.h"

namespace parlomatic::selection {
namespace {

// A press whose step never finished (polling stopped while it ran) is forgotten rather than run late.
constexpr std::chrono::seconds pressLifetime{2};

} // namespace

KeyboardActions::KeyboardActions(TextSelectionPoller& poller, service::Preferences& preferences, QObject* parent)
    : QObject(parent), m_poller(poller), m_preferences(preferences)
{
    connect(&m_poller, &TextSelectionPoller::stepFinished, this, &KeyboardActions::stepFinished);
    m_readAgain.setSingleShot(true);
    m_readAgain.setInterval(0);
    connect(&m_readAgain, &QTimer::timeout, this, &KeyboardActions::readAgain);
}

void KeyboardActions::readAgain()
{
    m_poller.checkSelectedText();
}

void KeyboardActions::tell(const TextActions::Notice& notice) const
{
    if (m_notices != nullptr) {
        m_notices->tell(notice.cause, QString::fromLatin1(notice.message));
    }
}

void KeyboardActions::run(ShortcutAction action)
{
    if (!m_poller.isPolling()) {
        qCDebug(keysLog) << "A Replace or Improve is under way:" << shortcutName(action).data() << "skipped";
        return;
    }
    m_pending = action;
    m_pressedAt = std::chrono::steady_clock::now();
    m_stepStarted = !m_poller.isStepInFlight();
    if (m_stepStarted) {
        m_poller.checkSelectedText();
    }
}

void KeyboardActions::stepFinished(const PollStep& step)
{
    if (!m_pending) {
        return;
    }
    if (std::chrono::steady_clock::now() - m_pressedAt > pressLifetime) {
        m_pending.reset();
        return;
    }
    if (!m_stepStarted) {
        // Once this step has returned: the poller takes no new step from inside its signal.
        m_stepStarted = true;
        m_readAgain.start();
        return;
    }
    const ShortcutAction action = *m_pending;
    m_pending.reset();
    qCDebug(keysLog)
        << shortcutName(action).data() << "acts on the selection read"
        << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_pressedAt).count()
        << "ms after the press";
    act(step, action);
}

void KeyboardActions::act(const PollStep& step, ShortcutAction action)
{
    using Decision = PollStep::Decision;
    if (step.decision == Decision::unchanged) {
        // Parlomatic's own window in front (the translation panel): nothing of another application to act on.
        qCDebug(keysLog) << "No application in front:" << shortcutName(action).data() << "skipped";
        return;
    }
    if (step.decision == Decision::hide || !step.actionType) {
        logError("A shortcut found no selection to act on.");
        tell(nothingSelected);
        return;
    }
    ActionState& state = m_poller.actionState();
    switch (action) {
    case ShortcutAction::translate:
        state.triggerTranslate();
        return;
    case ShortcutAction::replace:
    case ShortcutAction::improve:
        if (*step.actionType != ActionType::write) {
            tell(readOnly);
        } else if (action == ShortcutAction::replace) {
            state.triggerReplace(m_preferences.replaceOutputLanguage());
        } else {
            state.triggerImprove();
        }
        return;
    }
}

} // namespace parlomatic::selection
