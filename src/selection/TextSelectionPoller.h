#pragma once

#include "selection/AccessibilityRunner.h"
#include "selection/ActionState.h"
#include "selection/ActionsPanel.h"
#include "selection/PanelPlacement.h"
#include "selection/PollStep.h"
#include "selection/SelectionReader.h"
#include "selection/TranslatePanel.h"
#include "service/Language.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parlomatic {
class Clock;
} // namespace parlomatic

namespace parlomatic::selection {

class TextSelectionPoller;

// The data of one poll step with a valid selection, captured by the callbacks of that step.
struct SelectionSnapshot {
    QString trimmedText;
    // The untrimmed text; nothing when the read failed.
    std::optional<QString> selectedText;
    AxRect rect;
    Element element;
};

// The bodies of Translate, Replace and Improve and the translation panel's close callback. The
// poller installs them afresh on every step with a valid selection; an absent handler does nothing.
struct SelectionActions {
    std::function<void(TextSelectionPoller&, const SelectionSnapshot&)> translate;
    std::function<void(TextSelectionPoller&, const SelectionSnapshot&, service::Language)> replace;
    std::function<void(TextSelectionPoller&, const SelectionSnapshot&)> improve;
    // Installs the translation panel's own close callback for this step.
    std::function<void(TextSelectionPoller&)> installTranslateClose;
};

// Five times a second asks the accessibility layer what the user selected in the front
// application and shows, moves or hides the actions panel above it. A layer that steps on its own
// (the helper process) is instead told what to watch and sends the readings that changed, each
// decided as it comes: nothing runs here while the selection stays. checkSelectedText() still reads
// afresh. Owns the actions panel, the
// translation panel and the action state. The reads of a step run where the layer lives (its own
// thread, through an AccessibilityThread); the decisions are made on the GUI thread when the
// reads are done. At most one step is in flight: a tick that comes while one runs is skipped.
// GUI thread only, except startPolling().
class TextSelectionPoller : public QObject {
    Q_OBJECT
public:
    using ActionsPanelFactory = std::function<std::unique_ptr<ActionsPanel>(TextSelectionPoller&)>;
    // The desktop's screens, the primary one first; none when there is no screen.
    using Screens = std::function<std::vector<ScreenArea>()>;

    static constexpr int intervalMs = 200;
    // While polling, a change the accessibility layer announces brings a step forward, but never to
    // less than this after the previous step (a burst of announcements costs one step).
    static constexpr int earliestStepMs = 30;

    // Polling stays stopped until startPolling(). Without a factory a placeholder panel stands in.
    // The layer's calls run through `runner`, which must outlive the poller.
    explicit TextSelectionPoller(AccessibilityRunner& runner, const ActionsPanelFactory& actionsPanelFactory = {},
                                 const Clock* clock = nullptr, QObject* parent = nullptr);
    // A layer read on the GUI thread itself (the inspector, tests): every step finishes at once.
    explicit TextSelectionPoller(AccessibilityBackend& backend, const ActionsPanelFactory& actionsPanelFactory = {},
                                 const Clock* clock = nullptr, QObject* parent = nullptr);
    ~TextSelectionPoller() override;

    // Schedules the creation of the 0.2 s timer on the GUI thread unless a timer exists; from then
    // on announced changes also bring steps forward. Safe from any thread.
    void startPolling();
    // Stops polling; the timer becomes absent and announced changes are ignored. A step still in
    // flight is dropped when its reads come back.
    void stopPolling();
    bool isPolling() const { return m_timer != nullptr; }

    // One poll step; the timer's action. Logs "no pid found" and "No focused element! <pid>" when
    // such a situation begins; the same line is not logged again while it lasts from step to step.
    // Returns the step when its reads finished at once (a layer on this thread); otherwise, and when
    // a step is still in flight, an empty step, and the finished one comes through stepFinished.
    PollStep checkSelectedText();
    bool isStepInFlight() const { return m_stepInFlight; }

    // The Close action: closes the actions panel and pauses the panel for this text.
    void closeActionsPanel(const QString& trimmedText);

    ActionsPanel& actionsPanel() { return *m_actionsPanel; }
    TranslatePanel* translatePanel() { return m_translatePanel.get(); }
    void setTranslatePanel(std::unique_ptr<TranslatePanel> panel);
    ActionState& actionState() { return *m_actionState; }
    void setSelectionActions(SelectionActions actions);

    const QString& pausedSelectedText() const { return m_pausedSelectedText; }
    void setPausedSelectedText(const QString& text) { m_pausedSelectedText = text; }
    double latestReplacement() const { return m_latestReplacement; }
    void setLatestReplacement(double seconds) { m_latestReplacement = seconds; }
    Pid prevPid() const { return m_prevPid; }

    // Parlomatic's own process: a step that finds it in front leaves everything as it is.
    void setOwnPid(Pid pid);
    // The applications whose front windows are left alone: a step that finds one in front closes
    // both panels and reads nothing but the front process. Set before polling starts.
    void setApplicationFilter(ApplicationFilter filter);
    // The filter's applications changed: a layer that steps on its own is told.
    void applicationFilterChanged();
    // The hold began or ended. A layer that steps on its own stops or resumes its steps; ours ask the
    // hold at every tick.
    void holdChanged();
    // While `hold` answers true no step runs (nothing is read) and both panels stay closed; asked
    // on the GUI thread at every tick.
    void setHold(std::function<bool()> hold) { m_hold = std::move(hold); }
    void setScreens(Screens screens) { m_screens = std::move(screens); }
    // The screens panels are placed on now.
    std::vector<ScreenArea> screens() const { return m_screens ? m_screens() : std::vector<ScreenArea>{}; }

signals:
    // After every step, with what it saw (the inspector prints it).
    void stepFinished(const parlomatic::selection::PollStep& step);

private:
    TextSelectionPoller(std::unique_ptr<AccessibilityRunner> ownRunner, AccessibilityRunner* runner,
                        const ActionsPanelFactory& actionsPanelFactory, const Clock* clock, QObject* parent);
    // The decisions of a step, from what its reads found.
    PollStep decide(SelectionReading reading);
    void stepSoon();
    // Where the layer steps on its own: the latest reading decided, or, held, the panels closed and the
    // layer's steps stopped (started again once the hold ends).
    void decideLatest();
    // Tells a layer that steps on its own what to watch (nothing while polling is stopped).
    void sendWatch();
    void takeReading(SelectionReading reading, std::int64_t generation);
    void closeBothPanels();
    void installCallbacks(SelectionSnapshot snapshot);
    // Tells on the parlomatic.poller debug channel why the step decided as it did.
    void explain(const PollStep& step, const QString& why);

    std::unique_ptr<AccessibilityRunner> m_ownRunner;
    AccessibilityRunner& m_runner;
    Pid m_ownPid;
    // Used on the layer's thread only, by the step in flight.
    std::shared_ptr<SelectionReader> m_reader;
    ApplicationFilter m_filter;
    std::function<bool()> m_hold;
    bool m_stepInFlight = false;
    // Counts stopPolling() calls: a step started before the latest one is dropped.
    unsigned m_stops = 0;
    // Where checkSelectedText() wants the step that finished while it ran.
    PollStep* m_finishedAtOnce = nullptr;
    std::unique_ptr<QTimer> m_timer;
    std::unique_ptr<QTimer> m_earlyStep;
    std::chrono::steady_clock::time_point m_lastStepAt;
    // Where the layer steps on its own: the reading it sent last, for the current watch.
    std::optional<SelectionReading> m_latest;
    std::int64_t m_watchGeneration = 0;
    bool m_held = false;
    // Counts the readings taken, so that a step of our own does not replace a later one.
    unsigned m_readingsTaken = 0;
    std::unique_ptr<ActionsPanel> m_actionsPanel;
    std::unique_ptr<TranslatePanel> m_translatePanel;
    double m_latestReplacement = 0;
    std::unique_ptr<ActionState> m_actionState;
    QString m_pausedSelectedText;
    Pid m_prevPid = 0;

    SelectionActions m_actions;
    Screens m_screens;
    // The line the previous step logged (empty if none): a situation that lasts is logged once,
    // not five times a second.
    std::string m_lastLogLine;
    // The last step's explanation on the debug channel, told again only when it changes.
    QString m_lastExplanation;
};

} // namespace parlomatic::selection
