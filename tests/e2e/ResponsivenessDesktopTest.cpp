// The watcher's accessibility layer in its helper process against a frozen Mousepad, a helper that is
// killed or stopped and a new accessibility bus: the GUI thread never stalls, the strip still comes and
// goes over the Qt window.

#include "accessibility/RemoteAccessibility.h"
#include "e2e/DesktopTestSupport.h"
#include "platform/linux/atspi/AccessibilityBusStatus.h"
#include "selection/AccessibilityThread.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>

#include <csignal>

namespace parlomatic {
namespace {

using namespace std::chrono_literals;
using namespace test;
using Decision = selection::PollStep::Decision;
using SteadyClock = std::chrono::steady_clock;

// The longest a 100 ms timer of the GUI thread waited past its time, while it runs.
struct EventLoopPing {
    QTimer timer;
    SteadyClock::time_point last = SteadyClock::now();
    SteadyClock::duration worst{};
    EventLoopPing()
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.callOnTimeout([this] {
            worstDelay();
            last = SteadyClock::now();
        });
        timer.start(100ms);
    }
    std::chrono::milliseconds worstDelay()
    {
        worst = std::max(worst, SteadyClock::now() - last - 100ms);
        return std::chrono::duration_cast<std::chrono::milliseconds>(worst);
    }
};

class ResponsivenessDesktopTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (inDesktopSession()) {
            qtWindow = Peer::start(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {});
        }
    }
    static void TearDownTestSuite() { qtWindow.stop(); }

    void SetUp() override
    {
        if (!inDesktopSession()) {
            GTEST_SKIP() << "needs scripts/desktop-session";
        }
        ASSERT_FALSE(qtWindow.window.isEmpty()) << "the Qt test window did not show";
        layer = std::make_unique<selection::AccessibilityThread>([this] {
            auto made = helpers.make();
            made->enableEnhancedUserInterfaceForRunningApps();
            return made;
        });
        poller = headlessPoller(*layer);
        QObject::connect(poller.get(), &selection::TextSelectionPoller::stepFinished,
                         [this](const selection::PollStep& step) { steps.push_back(step); });
        poller->startPolling();
    }
    void TearDown() override
    {
        poller.reset();
        layer.reset();
        mousepad.stop();
    }

    // The helper the layer talks to now; 0 while there is none.
    long long helperPid()
    {
        auto pid = std::make_shared<std::atomic<long long>>(-1);
        QObject context;
        layer->run(&context, [pid](selection::AccessibilityBackend& backend) -> selection::AccessibilityRunner::Then {
            *pid = dynamic_cast<platform::RemoteAccessibility&>(backend).helperPid();
            return {};
        });
        waitUntil([&pid] { return *pid >= 0; }, 10s, 10ms);
        return *pid;
    }

    // Waits for a step of the watcher's own timer that satisfies `condition`.
    bool stepSeen(const std::function<bool(const selection::PollStep&)>& condition, std::chrono::seconds patience = 10s)
    {
        const std::size_t from = steps.size();
        return waitUntil([&] { return std::any_of(steps.begin() + qsizetype(from), steps.end(), condition); }, patience,
                         10ms);
    }

    // Over the Qt window, while Mousepad misbehaves: a selection brings the strip, its end hides it.
    void stripComesAndGoesOverTheQtWindow()
    {
        qtWindow.activate();
        EXPECT_TRUE(qtWindow.command("focus editor"));
        typeAndSelectAll(QStringLiteral("responsive words"));
        EXPECT_TRUE(stepSeen([](const selection::PollStep& s) {
            return s.pid == qtWindow.pid() && stripUp(s) && s.text == "responsive words";
        })) << "no strip over the Qt window";
        xdotool("key", "End");
        EXPECT_TRUE(stepSeen([](const selection::PollStep& s) {
            return s.pid == qtWindow.pid() && s.decision == Decision::hide;
        })) << "the strip did not go";
    }

    // Mousepad started anew, in front, with `text` typed and selected: its strip up.
    void startMousepadWithSelection(const QString& text, std::chrono::seconds patience = 10s)
    {
        mousepad = Peer::start(QStringLiteral("mousepad"), {});
        ASSERT_FALSE(mousepad.window.isEmpty());
        mousepad.activate();
        typeAndSelectAll(text);
        ASSERT_TRUE(stepSeen(
            [&](const selection::PollStep& s) { return s.pid == mousepad.pid() && stripUp(s) && s.text == text; },
            patience))
            << "no strip over Mousepad";
    }

    // Spins the event loop until `time` has passed since `since`.
    static void spinUntil(SteadyClock::time_point since, std::chrono::seconds time)
    {
        waitUntil([&] { return SteadyClock::now() - since >= time; }, time + 5s, 50ms);
    }

    static inline Peer qtWindow;
    Peer mousepad;
    platform::RemoteAccessibility::Launcher helpers{QStringLiteral(PARLOMATIC_ACCESSIBILITY)};
    std::unique_ptr<selection::AccessibilityThread> layer;
    std::unique_ptr<selection::TextSelectionPoller> poller;
    std::vector<selection::PollStep> steps;
};

TEST_F(ResponsivenessDesktopTest, AFrozenApplicationNeverStallsTheUserInterface)
{
    ASSERT_NO_FATAL_FAILURE(startMousepadWithSelection(QStringLiteral("words held by a frozen editor")));

    EventLoopPing ping;
    const auto frozenAt = SteadyClock::now();
    ::kill(static_cast<pid_t>(mousepad.pid()), SIGSTOP);
    const auto resume = qScopeGuard([this] { ::kill(static_cast<pid_t>(mousepad.pid()), SIGCONT); });
    spinUntil(frozenAt, 2s);
    stripComesAndGoesOverTheQtWindow();
    xdotool("windowactivate", mousepad.window);
    spinUntil(frozenAt, 10s);
    RecordProperty("longestWaitMs", int(ping.worstDelay().count()));
    EXPECT_LT(ping.worstDelay(), 100ms) << "the longest GUI-thread wait with a frozen application";
}

// A helper killed in the middle of its work, or stopped so that it never answers (ended after 2 s): the
// GUI thread never waits on it, and a new helper brings the strip back.
TEST_F(ResponsivenessDesktopTest, AHelperKilledOrStoppedIsReplaced)
{
    EventLoopPing ping;
    for (const int signal : {SIGKILL, SIGSTOP}) {
        SCOPED_TRACE(signal);
        stripComesAndGoesOverTheQtWindow();
        const long long helper = helperPid();
        ASSERT_GT(helper, 0);
        ASSERT_EQ(::kill(pid_t(helper), signal), 0);
        EXPECT_TRUE(waitUntil(
            [&] {
                const long long now = helperPid();
                return now > 0 && now != helper;
            },
            10s, 50ms));
        stripComesAndGoesOverTheQtWindow();
    }
    RecordProperty("longestWaitMs", int(ping.worstDelay().count()));
    EXPECT_LT(ping.worstDelay(), 100ms) << "the longest GUI-thread wait with the helper killed or stopped";
}

// The PID of the accessibility bus's daemon: the child of the bus launcher.
std::optional<qint64> accessibilityBusDaemon()
{
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
    ask << QStringLiteral("org.a11y.Bus");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(ask, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return std::nullopt;
    }
    QProcess children;
    children.start(QStringLiteral("pgrep"),
                   {QStringLiteral("-P"), QString::number(reply.arguments().value(0).toUInt())});
    children.waitForFinished(5000);
    bool found = false;
    const qint64 daemon = children.readAllStandardOutput().split('\n').value(0).toLongLong(&found);
    return found ? std::optional(daemon) : std::nullopt;
}

TEST_F(ResponsivenessDesktopTest, TheWatcherFollowsANewAccessibilityBus)
{
    const std::optional<qint64> daemon = accessibilityBusDaemon();
    ASSERT_TRUE(daemon) << "no accessibility bus daemon found";
    ASSERT_TRUE(waitUntil([this] { return layer->layersMade() == 1; }));
    ASSERT_EQ(::kill(static_cast<pid_t>(*daemon), SIGTERM), 0);
    // A new bus: the launcher is started again on demand, as the session's accessibility settings do.
    ASSERT_TRUE(waitUntil([] { return platform::AccessibilityBusStatus::setEnabled(true); }, 15s, 200ms));
    ASSERT_TRUE(waitUntil(
        [&daemon] {
            const auto next = accessibilityBusDaemon();
            return next && *next != *daemon;
        },
        15s, 200ms));

    startMousepadWithSelection(QStringLiteral("words on a new bus"), 5s);
    EXPECT_GE(layer->layersMade(), 2);
}

} // namespace
} // namespace parlomatic
