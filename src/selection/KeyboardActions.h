#pragma once

#include "selection/PollStep.h"
#include "selection/Shortcuts.h"
#include "selection/TextActions.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <optional>

namespace parlomatic::service {
class Preferences;
} // namespace parlomatic::service

namespace parlomatic::selection {

class Notices;
class TextSelectionPoller;

// The strip's buttons from the keyboard: reads the selection as it is at the press (a poll step that
// starts after it), then runs the button's own action through the poller's action state, with the
// same checks, write-back and notices, whether the strip shows or the user closed it. Replace goes
// into the language beside the strip's Replace button. GUI thread only.
class KeyboardActions : public QObject {
    Q_OBJECT
public:
    // Both must outlive this object.
    KeyboardActions(TextSelectionPoller& poller, service::Preferences& preferences, QObject* parent = nullptr);

    // Where a press with nothing to act on is told; none: the log alone. Must outlive this object.
    void setNotices(Notices* notices) { m_notices = notices; }
    // A press while a Replace or Improve runs does nothing: polling is stopped until it ends.
    void run(ShortcutAction action);

    static constexpr TextActions::Notice nothingSelected{
        .cause = NoticeCause::keys, .message = "Select some text first: Parlomatic found no selection to act on."};
    static constexpr TextActions::Notice readOnly{
        .cause = NoticeCause::keys, .message = "This text cannot be changed, so Parlomatic can only translate it."};

private:
    void stepFinished(const PollStep& step);
    void readAgain();
    void act(const PollStep& step, ShortcutAction action);
    void tell(const TextActions::Notice& notice) const;

    TextSelectionPoller& m_poller;
    service::Preferences& m_preferences;
    Notices* m_notices = nullptr;
    std::optional<ShortcutAction> m_pending;
    std::chrono::steady_clock::time_point m_pressedAt;
    // The step under way at the press began before it: the next one reads the selection.
    bool m_stepStarted = false;
    QTimer m_readAgain;
};

} // namespace parlomatic::selection
