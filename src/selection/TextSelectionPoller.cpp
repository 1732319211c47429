#include "selection/TextSelectionPoller.h"

#include "common/Clock.h"
#include "common/Log.h"
#include "selection/LogCategories.h"
#include "selection/PanelPlacement.h"
#include "selection/PlaceholderActionsPanel.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <string>

namespace parlomatic::selection {

namespace {

std::vector<ScreenArea> desktopScreens()
{
    std::vector<ScreenArea> screens;
    const QScreen* primary = QGuiApplication::primaryScreen();
    for (const QScreen* screen : QGuiApplication::screens()) {
        const ScreenArea area{.geometry = screen->geometry(),
                              .workArea = screen->availableGeometry(),
                              .devicePixelRatio = screen->devicePixelRatio()};
        if (screen == primary) {
            screens.insert(screens.begin(), area);
        } else {
            screens.push_back(area);
        }
    }
    return screens;
}

QString rectText(const AxRect& rect)
{
    return QStringLiteral("[%1, %2, %3, %4]").arg(rect.x).arg(rect.y).arg(rect.width).arg(rect.height);
}

// Why a step that read no usable selection hid the strip; nothing of the text but its length.
QString hiddenBecause(const SelectionReading& reading)
{
    using Outcome = SelectionReading::Outcome;
    const PollStep& step = reading.step;
    switch (reading.outcome) {
    case Outcome::noFront:
        return QStringLiteral("no window in front, or its process is unknown");
    case Outcome::ownWindow:
        return QStringLiteral("Parlomatic's own window is in front");
    case Outcome::turnedOff:
        return QStringLiteral("the watcher is turned off in this application");
    case Outcome::noFocus:
        return QStringLiteral("the application tells of no focused element");
    case Outcome::noSelection:
    case Outcome::selection:
        break;
    }
    if (step.secure) {
        return QStringLiteral("the focused element is a password field");
    }
    if (step.selectionTooLong) {
        return QStringLiteral("the selection is longer than %1 characters").arg(SelectionReader::maxSelectionLength);
    }
    if (step.misplaced == PollStep::Misplaced::notShown) {
        return QStringLiteral("the selection's rectangle lies outside its window and its element");
    }
    if (!step.role) {
        return QStringLiteral("the focused element tells no role");
    }
    if (!step.rect) {
        return QStringLiteral("no selection, or the application tells no rectangle for it");
    }
    return QStringLiteral("the selection has fewer than 2 characters (%1)").arg(userPerceivedLength(step.text, 2));
}

} // namespace

std::string_view decisionName(PollStep::Decision decision)
{
    switch (decision) {
    case PollStep::Decision::unchanged:
        return "unchanged";
    case PollStep::Decision::hide:
        return "hide";
    case PollStep::Decision::paused:
        return "paused";
    case PollStep::Decision::move:
        return "move";
    case PollStep::Decision::show:
        return "show";
    }
    return "unchanged";
}

TextSelectionPoller::TextSelectionPoller(AccessibilityBackend& backend, const ActionsPanelFactory& actionsPanelFactory,
                                         const Clock* clock, QObject* parent)
    : TextSelectionPoller(std::make_unique<InlineAccessibility>(backend), nullptr, actionsPanelFactory, clock, parent)
{}

TextSelectionPoller::TextSelectionPoller(AccessibilityRunner& runner, const ActionsPanelFactory& actionsPanelFactory,
                                         const Clock* clock, QObject* parent)
    : TextSelectionPoller(nullptr, &runner, actionsPanelFactory, clock, parent)
{}

TextSelectionPoller::TextSelectionPoller(std::unique_ptr<AccessibilityRunner> ownRunner, AccessibilityRunner* runner,
                                         const ActionsPanelFactory& actionsPanelFactory, const Clock* clock,
                                         QObject* parent)
    : QObject(parent), m_ownRunner(std::move(ownRunner)), m_runner(runner != nullptr ? *runner : *m_ownRunner),
      m_ownPid(static_cast<Pid>(QCoreApplication::applicationPid())),
      m_reader(std::make_shared<SelectionReader>(m_ownPid)), m_actionState(std::make_unique<ActionState>()),
      m_screens(desktopScreens)
{
    m_latestReplacement = (clock != nullptr ? *clock : systemClock()).now();
    if (actionsPanelFactory) {
        m_actionsPanel = actionsPanelFactory(*this);
    }
    if (!m_actionsPanel) {
        m_actionsPanel = std::make_unique<PlaceholderActionsPanel>();
    }
    m_earlyStep = std::make_unique<QTimer>();
    m_earlyStep->setSingleShot(true);
    m_earlyStep->setTimerType(Qt::PreciseTimer);
    connect(m_earlyStep.get(), &QTimer::timeout, this, [this] {
        if (m_timer) {
            checkSelectedText();
        }
    });
    m_runner.setChangeListener([this] { stepSoon(); });
}

TextSelectionPoller::~TextSelectionPoller()
{
    m_runner.setChangeListener({});
    if (m_runner.watches()) {
        m_runner.watch(SelectionWatch{}, {});
    }
}

void TextSelectionPoller::stepSoon()
{
    // Announcements arrive inside the accessibility library's dispatch: the step runs afterwards.
    if (!m_timer || m_earlyStep->isActive()) {
        return;
    }
    const auto sinceLast = std::chrono::steady_clock::now() - m_lastStepAt;
    const auto wait = std::chrono::milliseconds(earliestStepMs) - sinceLast;
    m_earlyStep->start(std::max(0, int(std::chrono::ceil<std::chrono::milliseconds>(wait).count())));
}

void TextSelectionPoller::startPolling()
{
    // The timer is looked at only on the GUI thread: callers on other threads would race with it.
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks): the queued call owns the functor and deletes it
    QMetaObject::invokeMethod(
        this,
        [this] {
            // Also covers a second request queued before the first one ran.
            if (m_timer) {
                return;
            }
            m_timer = std::make_unique<QTimer>();
            m_timer->setInterval(intervalMs);
            if (m_runner.watches()) {
                // The layer steps and says what changed: the timer only marks that polling is on.
                sendWatch();
                return;
            }
            connect(m_timer.get(), &QTimer::timeout, this, [this] { checkSelectedText(); });
            m_timer->start();
        },
        Qt::QueuedConnection);
}

void TextSelectionPoller::stopPolling()
{
    ++m_stops;
    m_timer.reset();
    m_earlyStep->stop();
    if (m_runner.watches()) {
        sendWatch();
    }
}

void TextSelectionPoller::setOwnPid(Pid pid)
{
    m_ownPid = pid;
    m_reader = std::make_shared<SelectionReader>(m_ownPid, m_filter);
    applicationFilterChanged();
}

void TextSelectionPoller::setApplicationFilter(ApplicationFilter filter)
{
    m_filter = std::move(filter);
    m_reader = std::make_shared<SelectionReader>(m_ownPid, m_filter);
    applicationFilterChanged();
}

void TextSelectionPoller::setTranslatePanel(std::unique_ptr<TranslatePanel> panel)
{
    m_translatePanel = std::move(panel);
}

void TextSelectionPoller::setSelectionActions(SelectionActions actions)
{
    m_actions = std::move(actions);
}

void TextSelectionPoller::closeActionsPanel(const QString& trimmedText)
{
    m_actionsPanel->close();
    m_pausedSelectedText = trimmedText;
}

void TextSelectionPoller::closeBothPanels()
{
    if (m_actionsPanel->isOpen()) {
        m_actionsPanel->close();
    }
    if (m_translatePanel && m_translatePanel->isOpen()) {
        m_translatePanel->close();
    }
}

PollStep TextSelectionPoller::checkSelectedText()
{
    PollStep finished;
    if (m_stepInFlight) {
        return finished;
    }
    if (m_hold && m_hold()) {
        closeBothPanels();
        return finished;
    }
    m_lastStepAt = std::chrono::steady_clock::now();
    m_stepInFlight = true;
    m_finishedAtOnce = &finished;
    m_runner.run(this,
                 [this, reader = m_reader, stops = m_stops, taken = m_readingsTaken](AccessibilityBackend& backend) {
                     // On the layer's thread: nothing of the poller but what was captured is touched here.
                     return [this, reading = reader->read(backend), stops, taken]() mutable {
                         m_stepInFlight = false;
                         if (stops != m_stops) {
                             return; // polling stopped (a Replace began) while the reads ran
                         }
                         if (m_runner.watches() && taken == m_readingsTaken) {
                             m_latest = reading; // the newest reading there is
                         }
                         const PollStep step = decide(std::move(reading));
                         if (m_finishedAtOnce != nullptr) {
                             *m_finishedAtOnce = step;
                         }
                         // A reading the layer sent while this step ran is newer: it has the last word.
                         if (m_runner.watches() && taken != m_readingsTaken) {
                             decideLatest();
                         }
                     };
                 });
    m_finishedAtOnce = nullptr;
    return finished;
}

PollStep TextSelectionPoller::decide(SelectionReading reading)
{
    using Outcome = SelectionReading::Outcome;
    PollStep& step = reading.step;
    std::string logLine;
    const auto logOnce = [this, &logLine](std::string line) {
        if (line != m_lastLogLine) {
            logError(line);
        }
        logLine = std::move(line);
    };
    QString why;
    const auto finish = [this, &step, &logLine, &why](PollStep::Decision decision) {
        step.decision = decision;
        m_lastLogLine = std::move(logLine);
        explain(step, why);
        emit stepFinished(step);
        return step;
    };
    const auto hide = [&] {
        why = hiddenBecause(reading);
        closeBothPanels();
        return finish(PollStep::Decision::hide);
    };

    if (step.pid) {
        m_prevPid = *step.pid;
    }
    switch (reading.outcome) {
    case Outcome::noFront:
        logOnce("no pid found");
        why = hiddenBecause(reading);
        return finish(PollStep::Decision::unchanged);
    case Outcome::ownWindow:
        why = hiddenBecause(reading);
        return finish(PollStep::Decision::unchanged);
    case Outcome::turnedOff:
        return hide();
    case Outcome::noFocus:
        logOnce("No focused element! " + std::to_string(step.pid.value_or(0)));
        return hide();
    case Outcome::noSelection:
        return hide();
    case Outcome::selection:
        break;
    }

    if (step.text != m_pausedSelectedText) {
        m_pausedSelectedText.clear();
    }
    if (userPerceivedLength(step.text, 2) < 2 || !step.rect || !step.role) {
        return hide();
    }

    const bool writable = *step.role == QLatin1StringView(axRole::textArea.data(), axRole::textArea.size()) ||
                          *step.role == QLatin1StringView(axRole::textField.data(), axRole::textField.size());
    step.actionType = writable ? ActionType::write : ActionType::readonly;
    m_actionState->setType(*step.actionType);

    step.panel = actionsPanelFrame(*step.rect, step.frame, m_actionsPanel->paddedSize(), screens());
    // No rule applies (no screen, or a caret in an element without a frame): keep the last position.
    if (step.panel) {
        m_actionsPanel->setFrame(*step.panel);
        why = QStringLiteral("%1 selection at %2, strip at [%3, %4, %5, %6]")
                  .arg(writable ? QStringLiteral("writable") : QStringLiteral("read-only"), rectText(*step.rect))
                  .arg(step.panel->x())
                  .arg(step.panel->y())
                  .arg(step.panel->width())
                  .arg(step.panel->height());
    } else {
        why = QStringLiteral("selection at %1 on no screen (or a caret in an element without a frame): the strip "
                             "keeps its last place")
                  .arg(rectText(*step.rect));
    }
    if (step.misplaced == PollStep::Misplaced::onElementFrame) {
        why += QStringLiteral("; the selection's rectangle lay outside its window, so the strip stands on the "
                              "element's frame");
    }

    installCallbacks(SelectionSnapshot{
        .trimmedText = step.text, .selectedText = reading.selectedText, .rect = *step.rect, .element = step.element});

    if (m_actionsPanel->isOpen()) {
        return finish(PollStep::Decision::move);
    }
    if (step.text == m_pausedSelectedText) {
        return finish(PollStep::Decision::paused);
    }
    m_actionsPanel->orderFrontWithoutActivating();
    return finish(PollStep::Decision::show);
}

void TextSelectionPoller::explain(const PollStep& step, const QString& why)
{
    if (!pollerLog().isDebugEnabled()) {
        return;
    }
    QString line = QStringLiteral("%1: %2").arg(QLatin1StringView(decisionName(step.decision)), why);
    if (step.pid) {
        line += QStringLiteral(" (pid %1").arg(*step.pid);
        if (step.application) {
            line += QStringLiteral(", %1").arg(step.application->id);
        } else if (step.app) {
            line += QStringLiteral(", %1").arg(*step.app);
        }
        if (step.role) {
            line += QStringLiteral(", role %1").arg(*step.role);
        }
        line += QLatin1Char(')');
    }
    // Five steps a second: a line only when the explanation changes.
    if (line != m_lastExplanation) {
        qCDebug(pollerLog).noquote() << line;
        m_lastExplanation = std::move(line);
    }
}

void TextSelectionPoller::installCallbacks(SelectionSnapshot snapshot)
{
    auto shared = std::make_shared<const SelectionSnapshot>(std::move(snapshot));
    m_actionState->setActionClose([this, shared] { closeActionsPanel(shared->trimmedText); });
    m_actionState->setActionImprove([this, shared] {
        if (m_actions.improve) {
            m_actions.improve(*this, *shared);
        }
    });
    m_actionState->setActionReplace([this, shared](service::Language language) {
        if (m_actions.replace) {
            m_actions.replace(*this, *shared, language);
        }
    });
    if (m_actions.installTranslateClose) {
        m_actions.installTranslateClose(*this);
    }
    m_actionState->setActionTranslate([this, shared] {
        if (m_actions.translate) {
            m_actions.translate(*this, *shared);
        }
    });
}

} // namespace parlomatic::selection
