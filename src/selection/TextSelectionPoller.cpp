#include "selection/TextSelectionPoller.h"

#include "common/Clock.h"
#include "common/Log.h"
#include "selection/PanelPlacement.h"
#include "selection/PlaceholderActionsPanel.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <string>

namespace parlomatic {

namespace {

// Word needs its ancestor chain read before it answers selection queries.
constexpr QLatin1StringView wordBundleIdentifier("com.microsoft.Word");

std::vector<ScreenArea> desktopScreens()
{
    std::vector<ScreenArea> screens;
    const QScreen* primary = QGuiApplication::primaryScreen();
    for (const QScreen* screen : QGuiApplication::screens()) {
        const ScreenArea area{screen->geometry(), screen->availableGeometry(), screen->devicePixelRatio()};
        if (screen == primary) {
            screens.insert(screens.begin(), area);
        } else {
            screens.push_back(area);
        }
    }
    return screens;
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

TextSelectionPoller::TextSelectionPoller(AccessibilityBackend& backend, ActionsPanelFactory actionsPanelFactory,
                                         const Clock* clock, QObject* parent)
    : QObject(parent), m_backend(backend), m_actionState(std::make_unique<ActionState>()),
      m_ownPid(static_cast<Pid>(QCoreApplication::applicationPid())), m_screens(desktopScreens)
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
    m_backend.setChangeListener([this] { stepSoon(); });
}

TextSelectionPoller::~TextSelectionPoller()
{
    m_backend.setChangeListener({});
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
    QMetaObject::invokeMethod(
        this,
        [this] {
            // Also covers a second request queued before the first one ran.
            if (m_timer) {
                return;
            }
            m_timer = std::make_unique<QTimer>();
            m_timer->setInterval(intervalMs);
            connect(m_timer.get(), &QTimer::timeout, this, [this] { checkSelectedText(); });
            m_timer->start();
        },
        Qt::QueuedConnection);
}

void TextSelectionPoller::stopPolling()
{
    m_timer.reset();
    m_earlyStep->stop();
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
    m_lastStepAt = std::chrono::steady_clock::now();
    PollStep step;
    std::string logLine;
    const auto logOnce = [this, &logLine](std::string line) {
        if (line != m_lastLogLine) {
            logError(line);
        }
        logLine = std::move(line);
    };
    const auto finish = [this, &step, &logLine](PollStep::Decision decision) {
        step.decision = decision;
        m_lastLogLine = std::move(logLine);
        emit stepFinished(step);
        return step;
    };
    const auto hide = [&] {
        closeBothPanels();
        return finish(PollStep::Decision::hide);
    };

    step.pid = m_backend.frontmostWindowOwnerPid();
    if (!step.pid) {
        logOnce("no pid found");
        return finish(PollStep::Decision::unchanged);
    }
    const Pid pid = *step.pid;
    if (pid != m_prevPid) {
        m_backend.enableEnhancedUserInterfaceForRunningApps();
        step.enhancedPass = true;
        m_prevPid = pid;
    }

    // Our own ordinary windows: leave everything as it is. Checked by process, before any read of
    // our own tree (which would block on our own event loop).
    if (pid == m_ownPid) {
        return finish(PollStep::Decision::unchanged);
    }

    const Element application = m_backend.applicationElement(pid);
    const Element focused = application ? m_backend.focusedElement(application) : Element{};
    if (!focused) {
        logOnce("No focused element! " + std::to_string(pid));
        return hide();
    }

    step.element = focused;
    step.app = m_backend.bundleIdentifier(pid);
    if (step.app && *step.app == wordBundleIdentifier) {
        m_backend.readAncestorAttributes(focused);
    }

    step.rect = m_backend.selectionBoundsFromTextMarkers(focused);
    if (!step.rect) {
        step.rect = m_backend.selectionBoundsFromRange(focused);
    }
    if (!step.rect) {
        return hide();
    }

    const std::optional<QString> selectedText = m_backend.selectedText(focused);
    step.role = m_backend.elementRole(focused);
    if (!step.role) {
        return hide();
    }
    // Never show the strip over a password field (whose text the backend does not read anyway).
    if (isSecureRole(*step.role)) {
        step.secure = true;
        return hide();
    }

    step.text = trimmedSelection(selectedText.value_or(QString()));
    if (step.text != m_pausedSelectedText) {
        m_pausedSelectedText.clear();
    }
    if (userPerceivedLength(step.text, 2) < 2) {
        return hide();
    }

    const bool writable = *step.role == QLatin1StringView(axRole::textArea.data(), axRole::textArea.size()) ||
                          *step.role == QLatin1StringView(axRole::textField.data(), axRole::textField.size());
    step.actionType = writable ? ActionType::write : ActionType::readonly;
    m_actionState->setType(*step.actionType);

    if (isDegenerate(*step.rect)) {
        step.frame = m_backend.elementFrame(focused);
    }
    step.panel = actionsPanelFrame(*step.rect, step.frame, m_actionsPanel->paddedSize(), screens());
    // No rule applies (no screen, or a caret in an element without a frame): keep the last position.
    if (step.panel) {
        m_actionsPanel->setFrame(*step.panel);
    }

    installCallbacks(SelectionSnapshot{step.text, selectedText, *step.rect, focused});

    if (m_actionsPanel->isOpen()) {
        return finish(PollStep::Decision::move);
    }
    if (step.text == m_pausedSelectedText) {
        return finish(PollStep::Decision::paused);
    }
    m_actionsPanel->orderFrontWithoutActivating();
    return finish(PollStep::Decision::show);
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
    m_actionState->setActionReplace([this, shared](Language language) {
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

} // namespace parlomatic
