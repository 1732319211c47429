// The selection watcher against Mousepad (GTK 3) and a small Qt 6 window, read through AT-SPI and X11,
// and the user's say over it from the menu's items: an application turned off, a pause.

#include "app/MenuBarView.h"
#include "common/Clock.h"
#include "e2e/DesktopTestSupport.h"
#include "platform/linux/atspi/AccessibilityBusStatus.h"
#include "platform/linux/atspi/AtspiElement.h"
#include "platform/linux/desktop/ProcApplicationIdentities.h"
#include "selection/PlaceholderActionsPanel.h"
#include "selection/WatchControl.h"
#include "service/Preferences.h"

#include <QMenu>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <set>

namespace parlomatic {
namespace {

using namespace std::chrono_literals;
using Decision = selection::PollStep::Decision;
using namespace test;

// The real layer, counting what the watcher asks of it: the front process apart from the rest.
class CountingAccessibility final : public selection::AccessibilityBackend {
public:
    explicit CountingAccessibility(selection::AccessibilityBackend& real) : m_real(real) {}

    std::optional<selection::Pid> frontmostWindowOwnerPid() override
    {
        ++frontReads;
        return m_real.frontmostWindowOwnerPid();
    }
    selection::Element applicationElement(selection::Pid pid) override
    {
        return counted(m_real.applicationElement(pid));
    }
    selection::Element focusedElement(const selection::Element& a) override
    {
        return counted(m_real.focusedElement(a));
    }
    std::optional<QString> bundleIdentifier(selection::Pid pid) override
    {
        return counted(m_real.bundleIdentifier(pid));
    }
    std::optional<QString> selectedText(const selection::Element& e) override
    {
        return counted(m_real.selectedText(e));
    }
    std::optional<int> selectionLength(const selection::Element& e) override
    {
        return counted(m_real.selectionLength(e));
    }
    std::optional<selection::AxRect> selectionBoundsFromTextMarkers(const selection::Element& e) override
    {
        return counted(m_real.selectionBoundsFromTextMarkers(e));
    }
    std::optional<selection::AxRect> selectionBoundsFromRange(const selection::Element& e) override
    {
        return counted(m_real.selectionBoundsFromRange(e));
    }
    std::optional<selection::AxRect> elementFrame(const selection::Element& e) override
    {
        return counted(m_real.elementFrame(e));
    }
    std::optional<QString> elementRole(const selection::Element& e) override { return counted(m_real.elementRole(e)); }
    void readAncestorAttributes(const selection::Element& e) override { m_real.readAncestorAttributes(counted(e)); }
    void enableEnhancedUserInterface(const selection::Element& a) override
    {
        m_real.enableEnhancedUserInterface(counted(a));
    }
    void enableEnhancedUserInterfaceForRunningApps() override
    {
        ++otherReads;
        m_real.enableEnhancedUserInterfaceForRunningApps();
    }

    std::atomic<int> frontReads = 0;
    std::atomic<int> otherReads = 0;

private:
    template <typename T> T counted(T value)
    {
        ++otherReads;
        return value;
    }
    selection::AccessibilityBackend& m_real;
};

// Mousepad and the Qt test window, started once, with the real AT-SPI layer.
class SelectionDesktopTest : public DesktopSuite {
protected:
    static void SetUpTestSuite()
    {
        if (inDesktopSession()) {
            mousepad = Peer::start(QStringLiteral("mousepad"), {});
            qtWindow = Peer::start(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {});
            peers = {&mousepad, &qtWindow};
            backend = test::accessibilityLayer();
        }
    }
    void TearDown() override { poller.reset(); } // before the counting layer and the control it uses

    // Types and selects `text`, then steps until the strip stands over it; that step.
    selection::PollStep selectAllAndWaitForTheStrip(const QString& text)
    {
        typeAndSelectAll(text);
        return stepUntil(showing(text), "the strip over the new selection");
    }

    // Once a step asks nothing more through `reads`, the next two (spaced beyond the window in which
    // one step's reads are shared) ask nothing either and see the same; the last step.
    selection::PollStep expectQuietSteps(int (platform::AtspiAccessibility::*reads)() const)
    {
        selection::PollStep step;
        const auto quiet = [&] {
            spinEventLoop(60ms);
            const int before = (*backend.*reads)();
            step = poller->checkSelectedText();
            return (*backend.*reads)() == before;
        };
        EXPECT_TRUE(waitUntil(quiet, 10s, 0ms)) << "every step asked again (no announcement arrived?)";
        for (int i = 0; i < 2; ++i) {
            // NOLINTNEXTLINE(performance-unnecessary-copy-initialization): quiet() overwrites step
            const selection::PollStep previous = step;
            EXPECT_TRUE(quiet()) << "a step with nothing changed asked again";
            EXPECT_EQ(step.text, previous.text);
            EXPECT_EQ(step.rect, previous.rect);
        }
        return step;
    }

    static std::unique_ptr<platform::AtspiAccessibility> backendWithoutX11()
    {
        const QByteArray display = qgetenv("DISPLAY");
        qunsetenv("DISPLAY");
        auto withoutX11 = test::accessibilityLayer();
        qputenv("DISPLAY", display);
        return withoutX11;
    }

    // A new watcher over the same settings file, as after quitting and starting again.
    void restart()
    {
        if (!counting) {
            counting = std::make_unique<CountingAccessibility>(*backend);
        }
        poller.reset();
        control.reset();
        preferences =
            std::make_unique<service::Preferences>(settings.filePath(QStringLiteral("Parlomatic.conf")).toStdString());
        control = std::make_unique<selection::WatchControl>(*preferences, systemClock());
        poller = headlessPoller(*counting);
        control->govern(*poller, std::make_shared<platform::ProcApplicationIdentities>());
    }

    // Chooses the item of that title among the watcher's menu items, as the tray menu shows them.
    void choose(const QString& title)
    {
        QMenu menu;
        app::MenuBarView::addWatchItems(menu, *control);
        const auto all = menu.findChildren<QAction*>();
        const auto found = std::ranges::find(all, title, &QAction::text);
        ASSERT_NE(found, all.end()) << title.toStdString();
        (*found)->trigger();
        QCoreApplication::processEvents();
    }

    // A fresh selection stepped over for a while: no strip, nothing asked but (`frontRead`) the front process.
    void expectNothingRead(const QString& text, bool frontRead)
    {
        counting->frontReads = 0;
        counting->otherReads = 0;
        typeAndSelectAll(text);
        int steps = 0;
        const auto deadline = std::chrono::steady_clock::now() + 600ms;
        while (std::chrono::steady_clock::now() < deadline) {
            const selection::PollStep step = poller->checkSelectedText();
            EXPECT_EQ(step.decision,
                      frontRead ? selection::PollStep::Decision::hide : selection::PollStep::Decision::unchanged);
            EXPECT_EQ(step.turnedOff, frontRead);
            ++steps;
            spinEventLoop(50ms);
        }
        EXPECT_FALSE(poller->actionsPanel().isOpen());
        EXPECT_EQ(counting->frontReads, frontRead ? steps : 0);
        EXPECT_EQ(counting->otherReads, 0) << "asked of the layer beyond the front process";
    }

    static inline Peer mousepad;
    static inline Peer qtWindow;
    QTemporaryDir settings;
    std::unique_ptr<CountingAccessibility> counting;
    std::unique_ptr<service::Preferences> preferences;
    std::unique_ptr<selection::WatchControl> control;
};

// The inspector prints each field of the step (their values: PollStepJsonTest), its text only when asked
// (the strip's place over Mousepad: WriteBackDesktopTest).
TEST_F(SelectionDesktopTest, InspectorPrintsTheStepAndTwoLinesAreSpannedWhole)
{
    mousepad.activate();
    selectAllAndWaitForTheStrip(QStringLiteral("inspect me"));

    for (const QStringList& arguments : {QStringList{"--once"}, QStringList{"--once", "--show-text"}}) {
        const bool showText = arguments.size() == 2;
        const std::vector<nlohmann::json> lines = inspect(PARLOMATIC_INSPECT, arguments);
        ASSERT_EQ(lines.size(), 1U);
        const nlohmann::json& line = lines.front();
        ASSERT_TRUE(line.is_object());
        std::set<std::string> keys{"pid",   "app",        "role",     "secure", "textLength", "rect",
                                   "frame", "actionType", "decision", "panel",  "tickMicros", "text"};
        for (const auto& [key, value] : line.items()) {
            EXPECT_EQ(keys.erase(key), 1U) << key;
        }
        EXPECT_EQ(keys, showText ? std::set<std::string>{} : std::set<std::string>{"text"});
        EXPECT_EQ(line.value("text", "inspect me"), "inspect me");
        EXPECT_EQ(line["pid"], mousepad.pid());
        EXPECT_EQ(line["decision"], "show");
    }
    expectSelectionOverTwoLinesSpansBoth(*poller, 10s);
}

TEST_F(SelectionDesktopTest, MinimisedWindowsAndThoseOnAnotherDesktopAreNotInFront)
{
    mousepad.activate();
    qtWindow.activate();
    stepUntil(qtWindow.inFront(), "the Qt window in front");
    xdotool("windowminimize", "--sync", qtWindow.window);
    stepUntil(mousepad.inFront(), "Mousepad in front once the other is hidden");
    qtWindow.activate();
    stepUntil(qtWindow.inFront(), "the Qt window back in front");

    xdotool("set_num_desktops", "2");
    const auto restore = qScopeGuard([] {
        xdotool("set_desktop", "0");
        xdotool("set_desktop_for_window", qtWindow.window, "0");
        xdotool("set_num_desktops", "1");
    });
    xdotool("set_desktop_for_window", qtWindow.window, "1");
    stepUntil(mousepad.inFront(), "Mousepad in front on the first desktop");
    xdotool("set_desktop", "1");
    stepUntil(qtWindow.inFront(), "the Qt window in front on the second");
}

TEST_F(SelectionDesktopTest, UnchangedSelectionAndRectangleAreAskedForAgainOnlyAfterAChange)
{
    mousepad.activate();
    typeAndSelectAll(QStringLiteral("the first line"));
    xdotool("key", "End"); // and lines enough to scroll by
    xdotool("key", "--repeat", "60", "Return");
    xdotool("key", "ctrl+Home", "shift+End");
    const auto atFirstLine = [](const selection::PollStep& s) {
        return s.text == QStringLiteral("the first line") && s.rect;
    };
    stepUntil(atFirstLine, "the first line");
    // Settled, a step asks for no rectangle; once Mousepad announced the selection, for no range either.
    expectQuietSteps(&platform::AtspiAccessibility::selectionExtentsReads);
    const selection::PollStep settled = expectQuietSteps(&platform::AtspiAccessibility::selectionRangeReads);
    ASSERT_TRUE(atFirstLine(settled));
    const selection::AxRect before = *settled.rect;

    const std::optional<selection::AxRect> window = windowGeometry(mousepad.window);
    ASSERT_TRUE(window);
    mousepad.click(0.5, 0.5, "5", "4");
    const selection::AxRect scrolled =
        *stepUntil([&](const selection::PollStep& s) { return atFirstLine(s) && s.rect->y < before.y - 20; },
                   "scrolled up")
             .rect;
    xdotool("windowmove", "--sync", mousepad.window, QString::number(qRound(window->x + 40)),
            QString::number(qRound(window->y)));
    stepUntil([&](const selection::PollStep& s) { return atFirstLine(s) && s.rect->x > scrolled.x + 20; },
              "moved with the window");
    xdotool("key", "shift+Left");
    stepUntil([](const selection::PollStep& s) { return s.text == QStringLiteral("the first lin"); },
              "the changed selection");
}

struct QtCase {
    const char* widget = nullptr;
    const char* text = nullptr;
    const char* role = nullptr;
    bool secure = false;
    Decision decision = Decision::show;
    std::optional<selection::ActionType> type;
};

TEST_F(SelectionDesktopTest, QtWidgetsGiveTheirRoles)
{
    qtWindow.activate();
    for (const QtCase& c :
         {QtCase{.widget = "editor",
         .text = "typed into editor",
         .role = "AXTextArea",
         .type = selection::ActionType::write},
          QtCase{.widget = "readonly",
          .text = "Read-only text that can be selected",
          .type = selection::ActionType::readonly},
          // Qt 6.4 does not publish a label's selection over AT-SPI: nothing to act on there.
          QtCase{.widget = "label", .text = "", .decision = Decision::hide, .type = std::nullopt},
          // Not even its range or rectangle is read (a rectangle's width tells the password's length).
          QtCase{.widget = "password", .text = "", .secure = true, .decision = Decision::hide, .type = std::nullopt}}) {
        SCOPED_TRACE(c.widget);
        ASSERT_TRUE(qtWindow.command(QByteArray("focus ") + c.widget));
        if (std::string_view(c.widget) == "readonly") {
            xdotool("key", "ctrl+a");
        } else if (std::string_view(c.widget) == "label") {
            ASSERT_TRUE(qtWindow.command("select-label"));
        } else {
            typeAndSelectAll(QStringLiteral("typed into ") + QLatin1StringView(c.widget));
        }
        const selection::PollStep step = stepUntil(
            [&](const selection::PollStep& s) {
                const bool roleMatches = c.secure ? !s.rect && backend->elementRole(s.element) ==
                                                                   QLatin1StringView(selection::axRole::secureTextField)
                                         : c.role == nullptr ? s.actionType == c.type
                                                             : s.role == QLatin1StringView(c.role);
                return roleMatches && s.text == QLatin1StringView(c.text) &&
                       (c.decision == Decision::hide ? s.decision == Decision::hide : stripUp(s));
            },
            c.widget);
        EXPECT_EQ(step.actionType, c.type);
        EXPECT_EQ(poller->actionsPanel().isOpen(), c.decision != Decision::hide);
        if (c.secure) {
            EXPECT_TRUE(step.text.isEmpty()) << "a password is never read";
        }
    }
}

TEST_F(SelectionDesktopTest, SwitchingApplicationsRunsTheEnhancedPassOnceWhichTurnsTheSwitchOn)
{
    mousepad.activate();
    stepUntil(mousepad.inFront(), "Mousepad in front");
    // Focus gained announcements, seen here in the same dispatch as by the backend.
    int gained = 0;
    const platform::GObjectPtr<AtspiEventListener> listener(atspi_event_listener_new(
        [](AtspiEvent* event, void* count) {
            *static_cast<int*>(count) += event->detail1 != 0 ? 1 : 0;
            g_boxed_free(ATSPI_TYPE_EVENT, event);
        },
        &gained, nullptr));
    atspi_event_listener_register(listener.get(), "object:state-changed:focused", nullptr);
    // Qt announces no focus when its window comes to the front: the first time, its tree is walked.
    qtWindow.activate();
    stepUntil([](const selection::PollStep& s) { return s.pid == qtWindow.pid() && s.element; },
              "the Qt window in front");
    for (const Peer* peer : {&mousepad, &qtWindow, &mousepad}) {
        const int passes = backend->enhancedPassCount();
        const int seeds = backend->focusSeedCount();
        const int before = gained;
        peer->activate();
        // GTK announces the focus again when its window comes back; Qt 6 does not.
        waitUntil([&] { return peer != &mousepad || gained != before; }, 10s, 20ms);
        stepUntil([&](const selection::PollStep& s) { return s.pid == peer->pid() && s.element; }, "the switch");
        for (int i = 0; i < 5; ++i) {
            poller->checkSelectedText();
        }
        EXPECT_EQ(backend->enhancedPassCount(), passes + 1);
        // The focus it announced spares the walk through its tree.
        EXPECT_EQ(backend->focusSeedCount(), seeds);
    }
    atspi_event_listener_deregister(listener.get(), "object:state-changed:focused", nullptr);

    // The pass turns the session's accessibility switch back on.
    ASSERT_TRUE(platform::AccessibilityBusStatus::setEnabled(false));
    EXPECT_EQ(platform::AccessibilityBusStatus::isEnabled(), std::optional<bool>(false));
    backend->enableEnhancedUserInterfaceForRunningApps();
    EXPECT_EQ(platform::AccessibilityBusStatus::isEnabled(), std::optional<bool>(true));
}

TEST_F(SelectionDesktopTest, FloatingPanelNeverCountsButOwnWindowsDo)
{
    mousepad.activate();
    selectAllAndWaitForTheStrip(QStringLiteral("under the panel"));

    selection::PlaceholderActionsPanel floating;
    floating.setFrame(QRect(300, 300, 220, 44));
    floating.orderFrontWithoutActivating();
    const QString ownPid = QString::number(QCoreApplication::applicationPid());
    ASSERT_TRUE(waitUntil([&] { return !xdotoolOutput("search", "--onlyvisible", "--pid", ownPid).isEmpty(); }));
    spinEventLoop(200ms);
    EXPECT_EQ(xdotoolOutput("getactivewindow"), mousepad.window) << "showing the panel must not activate us";
    EXPECT_EQ(backend->frontmostWindowOwnerPid(), mousepad.pid());
    EXPECT_EQ(poller->checkSelectedText().decision, Decision::move);
    floating.close();

    QWidget ordinary;
    ordinary.setWindowTitle(QStringLiteral("An ordinary Parlomatic window"));
    ordinary.resize(200, 100);
    ordinary.show();
    ordinary.activateWindow();
    const selection::PollStep step =
        stepUntil([](const selection::PollStep& s) { return s.pid == QCoreApplication::applicationPid(); },
                  "our window in front");
    EXPECT_EQ(step.decision, Decision::unchanged);
    EXPECT_TRUE(poller->actionsPanel().isOpen()) << "an own window in front leaves the panel as it is";
}

TEST_F(SelectionDesktopTest, HungApplicationCostsOneTimeOutThenIsLeftAlone)
{
    using platform::AtspiAccessibility;
    mousepad.activate();
    selectAllAndWaitForTheStrip(QStringLiteral("still selected"));
    backend->dropCachedReads();
    const auto pid = static_cast<pid_t>(mousepad.pid());
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    const auto resume = qScopeGuard([pid] { ::kill(pid, SIGCONT); });

    // One call to a stopped process takes libatspi about twice the time-out; each further read as much again.
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(poller->checkSelectedText().decision, Decision::hide);
    EXPECT_LT(std::chrono::steady_clock::now() - started,
              std::chrono::milliseconds(3 * AtspiAccessibility::callTimeoutMs))
        << "a step asks nothing more of a process once a call to it was slow";
    EXPECT_TRUE(backend->isUnresponsive(static_cast<selection::Pid>(pid)));
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(poller->checkSelectedText().decision, Decision::hide);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(AtspiAccessibility::callTimeoutMs))
        << "the hung application is not asked again during its cooling period";

    ::kill(pid, SIGCONT);
    stepUntil(
        [](const selection::PollStep& s) {
            return s.decision == Decision::show && s.text == QStringLiteral("still selected");
        },
        "the panel back once the application answers again");
}

// The focus moved announcing only that it left a widget ("focus-quietly"), or nothing: found all the same.
TEST_F(SelectionDesktopTest, FocusMovedWithoutAGainedAnnouncementDropsTheOldSelection)
{
    qtWindow.activate();
    for (const char* move : {"focus-quietly line", "focus-silently line"}) {
        SCOPED_TRACE(move);
        ASSERT_TRUE(qtWindow.command("focus editor"));
        selectAllAndWaitForTheStrip(QStringLiteral("selected before the move"));
        bool lost = false;
        const platform::GObjectPtr<AtspiEventListener> listener(atspi_event_listener_new(
            [](AtspiEvent* event, void* seen) {
                const bool marked = G_VALUE_HOLDS_STRING(&event->any_data) &&
                                    g_strcmp0(g_value_get_string(&event->any_data), "focus-quietly") == 0;
                *static_cast<bool*>(seen) = *static_cast<bool*>(seen) || marked;
                g_boxed_free(ATSPI_TYPE_EVENT, event);
            },
            &lost, nullptr));
        atspi_event_listener_register(listener.get(), "object:state-changed:focused", nullptr);
        ASSERT_TRUE(qtWindow.command(move));
        selection::PollStep step;
        if (std::string_view(move) == "focus-quietly line") {
            ASSERT_TRUE(waitUntil([&lost] { return lost; }, 10s, 20ms))
                << "the editor never announced that it lost the focus";
            // The very next step seeks the lost focus anew.
            step = poller->checkSelectedText();
        } else {
            step = stepUntil([](const selection::PollStep& s) { return s.decision == Decision::hide; },
                             "the editor let go");
        }
        atspi_event_listener_deregister(listener.get(), "object:state-changed:focused", nullptr);
        EXPECT_EQ(std::string(selection::decisionName(step.decision)), "hide");
        EXPECT_TRUE(step.text.isEmpty());
        EXPECT_EQ(backend->elementRole(step.element).value_or(QString()).toStdString(), "AXTextField")
            << "the field that has the focus";
        EXPECT_FALSE(poller->actionsPanel().isOpen());
    }
}

TEST_F(SelectionDesktopTest, WhatWasKnownOfAnApplicationIsForgottenWhenItEnds)
{
    Peer passing = Peer::start(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {});
    auto stop = qScopeGuard([&passing] { passing.stop(); });
    ASSERT_FALSE(passing.window.isEmpty());
    const auto pid = static_cast<selection::Pid>(passing.pid());
    passing.activate();
    selectAllAndWaitForTheStrip(QStringLiteral("a passing application"));
    ASSERT_TRUE(backend->remembersProcess(pid));
    passing.stop();
    EXPECT_TRUE(waitUntil([pid] { return !backend->remembersProcess(pid); }))
        << "the application left the bus, what was known of it stays";
}

// Without X11 the focus tells the front application; before any focus announcement it is searched among
// the registered ones, never in our own tree (a call from our GUI thread into it would time out).
TEST_F(SelectionDesktopTest, WithoutX11TheFocusTellsTheFrontApplicationAndOurOwnIsNeverAsked)
{
    const auto following = backendWithoutX11();
    for (const Peer* peer : {&qtWindow, &mousepad}) {
        peer->activate();
        EXPECT_TRUE(waitUntil([&] { return following->frontmostWindowOwnerPid() == peer->pid(); })) << peer->pid();
    }

    const auto ownPid = static_cast<selection::Pid>(QCoreApplication::applicationPid());
    QWidget own;
    own.setWindowTitle(QStringLiteral("Parlomatic on the accessibility bus"));
    own.show();
    ASSERT_TRUE(waitUntil([ownPid] { return bool(backend->applicationElement(ownPid)); }))
        << "this test process is not on the accessibility bus";
    mousepad.activate();
    // A new backend each try (no focus announcement yet): Mousepad's window says it is active only later.
    std::unique_ptr<platform::AtspiAccessibility> withoutX11;
    EXPECT_TRUE(waitUntil([&withoutX11] {
        withoutX11 = backendWithoutX11();
        return withoutX11->frontmostWindowOwnerPid() == mousepad.pid();
    })) << "Mousepad was not found in front";
    EXPECT_FALSE(withoutX11->isUnresponsive(ownPid)) << "our own process was asked and the call ran into the time-out";
}

// Mousepad turned off is not read at all (counted at the layer's seam), also after a restart; a pause reads
// nothing until Resume.
TEST_F(SelectionDesktopTest, TurnedOffApplicationOrAPauseIsNeverReadOthersAreAndTheChoiceOutlivesARestart)
{
    restart();
    mousepad.activate();
    selectAllAndWaitForTheStrip(QStringLiteral("shown in Mousepad"));
    ASSERT_TRUE(control->lastShown());
    EXPECT_EQ(control->lastShown()->name, QStringLiteral("Mousepad")) << "the desktop entry's name";
    choose(QStringLiteral("Don't Show in Mousepad"));
    expectNothingRead(QStringLiteral("not read in Mousepad"), true);

    qtWindow.activate();
    ASSERT_TRUE(qtWindow.command("focus editor"));
    selectAllAndWaitForTheStrip(QStringLiteral("shown in the Qt window"));

    restart();
    mousepad.activate();
    expectNothingRead(QStringLiteral("still not read"), true);
    choose(QStringLiteral("Mousepad")); // its check item under "Turned Off In"
    EXPECT_TRUE(control->turnedOff().empty());
    selectAllAndWaitForTheStrip(QStringLiteral("shown again in Mousepad"));

    choose(QStringLiteral("Pause for 1 Hour"));
    expectNothingRead(QStringLiteral("during the pause"), false);
    choose(QStringLiteral("Resume"));
    selectAllAndWaitForTheStrip(QStringLiteral("after the pause"));
}

} // namespace
} // namespace parlomatic
