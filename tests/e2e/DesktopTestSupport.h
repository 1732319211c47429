#pragma once

// Helpers of the desktop tests: peer applications, xdotool, X11 geometry, a poller stepped to a condition.

#include "app/parts/PlatformParts.h"
#include "platform/linux/atspi/AtspiAccessibility.h"
#include "selection/HeadlessActionsPanel.h"
#include "selection/TextSelectionPoller.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <csignal>

namespace parlomatic::test {

using namespace std::chrono_literals;

inline void spinEventLoop(std::chrono::milliseconds time)
{
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

// The accessibility layer as the application's helper makes it, for the session the test runs in now.
inline std::unique_ptr<platform::AtspiAccessibility> accessibilityLayer()
{
    return app::PlatformParts(platform::Session::probe()).accessibilityLayer();
}

inline bool inDesktopSession()
{
    return !qEnvironmentVariableIsEmpty("PARLOMATIC_DESKTOP_SESSION");
}

// Spins the event loop until `done` holds or the patience runs out; whether it holds.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::seconds patience = 10s,
                      std::chrono::milliseconds every = 50ms)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        spinEventLoop(every);
    }
    return true;
}

// A poller over a layer (or the thread that runs one) with a headless actions panel of 200x40.
template <typename Layer> std::unique_ptr<selection::TextSelectionPoller> headlessPoller(Layer& layer)
{
    return std::make_unique<selection::TextSelectionPoller>(layer, [](selection::TextSelectionPoller&) {
        return std::make_unique<selection::HeadlessActionsPanel>(QSize(200, 40));
    });
}

inline bool stripUp(const selection::PollStep& step)
{
    return step.decision == selection::PollStep::Decision::show || step.decision == selection::PollStep::Decision::move;
}

// A step that shows (or moves) the panel over exactly this trimmed text, not over an earlier selection.
inline std::function<bool(const selection::PollStep&)> showing(const QString& text)
{
    return [text](const selection::PollStep& s) { return stripUp(s) && s.text == text; };
}

// Runs xdotool to its end with the event loop spinning (a blocked GUI thread would count as a stall).
template <typename... Words> void xdotool(const Words&... words)
{
    const QStringList arguments{QString(words)...};
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    ASSERT_TRUE(waitUntil([&process] { return process.state() == QProcess::NotRunning; }, 20s, 10ms) &&
                process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        << arguments.join(' ').toStdString();
}

inline void typeAndSelectAll(const QString& text)
{
    xdotool("key", "ctrl+a");
    xdotool("type", "--delay", "2", text);
    xdotool("key", "ctrl+a");
}

inline void typeLines(std::initializer_list<const char*> lines)
{
    for (const char* const& line : lines) {
        if (&line != lines.begin()) {
            xdotool("key", "Return");
        }
        xdotool("type", "--delay", "5", line);
    }
}

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The lines `inspector <arguments>` prints, each parsed.
inline std::vector<nlohmann::json> inspect(const char* inspector, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QString::fromUtf8(inspector), arguments);
    EXPECT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitCode(), 0);
    std::vector<nlohmann::json> lines;
    for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty()) {
            lines.push_back(nlohmann::json::parse(line.toStdString(), nullptr, false));
        }
    }
    return lines;
}

template <typename... Words> QString xdotoolOutput(const Words&... words)
{
    QProcess query;
    query.start(QStringLiteral("xdotool"), QStringList{QString(words)...});
    query.waitForFinished(5000);
    return QString::fromUtf8(query.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts).value(0);
}

// The window's rectangle on the root window, from X11 itself.
std::optional<selection::AxRect> windowGeometry(const QString& windowId);

// The whole text of an element through AT-SPI, set first to `replacement` where given.
std::optional<QString> elementText(const selection::Element& element,
                                   const std::optional<QString>& replacement = std::nullopt);
// Whether the process has an accessibility tree that answers a fresh call (not taken from
// libatspi's cache) within `patience`, asked again and again meanwhile.
bool answersAccessibility(qint64 pid, std::chrono::seconds patience = 3s);
// Selects characters [start, end) of the element through AT-SPI (GTK 4 selects but answers false).
void selectText(const selection::Element& element, int start, int end);
// Removes the element's first selection through AT-SPI; whether it answered so.
bool unselectText(const selection::Element& element);

inline bool inside(const selection::AxRect& inner, const selection::AxRect& outer)
{
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.width <= outer.x + outer.width &&
           inner.y + inner.height <= outer.y + outer.height;
}

// A started peer application with its first visible window, ended by its PID in stop().
struct Peer {
    std::unique_ptr<QProcess> process;
    QString window;
    qint64 pid() const { return process->processId(); }
    // The process that owns the window (a launcher may have handed it on).
    qint64 windowPid() const
    {
        bool known = false;
        const qint64 owner = xdotoolOutput("getwindowpid", window).toLongLong(&known);
        return known ? owner : pid();
    }

    // Starts `program`; waits up to `patience` for a visible window of its process (or `xdotool search`).
    static Peer start(const QString& program, const QStringList& arguments,
                      const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                      std::chrono::seconds patience = 20s, const QStringList& search = {})
    {
        Peer peer;
        peer.process = std::make_unique<QProcess>();
        peer.process->setProcessChannelMode(QProcess::SeparateChannels);
        peer.process->setProcessEnvironment(environment);
        peer.process->start(program, arguments);
        peer.process->waitForStarted(10000);
        waitUntil(
            [&peer, &search] {
                peer.window = xdotoolOutput("search", "--onlyvisible", search.value(0, QStringLiteral("--pid")),
                                            search.value(1, QString::number(peer.pid())));
                return !peer.window.isEmpty();
            },
            patience);
        return peer;
    }

    void stop()
    {
        // A launcher (LibreOffice's) may leave the window's process behind, a frozen one for good.
        if (process && !window.isEmpty()) {
            if (const qint64 owner = windowPid(); owner != pid() && owner > 0) {
                ::kill(pid_t(owner), SIGTERM);
                if (!waitUntil([owner] { return ::kill(pid_t(owner), 0) != 0; }, 5s)) {
                    ::kill(pid_t(owner), SIGKILL);
                }
            }
        }
        if (process) {
            process->terminate();
            if (!process->waitForFinished(5000)) {
                process->kill();
                process->waitForFinished(5000);
            }
            process.reset();
        }
    }

    void activate() const { xdotool("windowactivate", "--sync", window); }

    // Sends the Qt test window a command ("focus editor", ...); whether it answered "ok <command>".
    bool command(const QByteArray& line) const
    {
        process->write(line + '\n');
        QByteArray answer;
        return waitUntil([&] { return (answer += process->readAllStandardOutput()).contains("ok " + line); }, 10s,
                         20ms);
    }

    // Clicks `button` `count` times at a point of the window, given as fractions of its size.
    void click(double across, double down, const char* button = "1", const char* count = "1") const
    {
        const std::optional<selection::AxRect> geometry = windowGeometry(window);
        ASSERT_TRUE(geometry);
        xdotool("mousemove", "--window", window, QString::number(qRound(geometry->width * across)),
                QString::number(qRound(geometry->height * down)), "click", "--repeat", count, button);
    }

    std::function<bool(const selection::PollStep&)> inFront() const
    {
        return [this](const selection::PollStep& s) { return s.pid == pid(); };
    }
};

// The step's rectangle lies inside the peer's window and the strip sits on its upper edge, centred.
inline void expectOnTheSelection(const selection::PollStep& step, const Peer& peer)
{
    ASSERT_TRUE(step.rect);
    const std::optional<selection::AxRect> window = windowGeometry(peer.window);
    ASSERT_TRUE(window);
    EXPECT_TRUE(inside(*step.rect, *window))
        << step.rect->x << "," << step.rect->y << " " << step.rect->width << "x" << step.rect->height;
    ASSERT_TRUE(step.panel);
    EXPECT_EQ(step.panel->bottom() + 1, qRound(step.rect->y)) << "the strip sits on the selection's upper edge";
    EXPECT_NEAR(step.panel->center().x(), step.rect->x + step.rect->width / 2, 1.0);
}

// Steps the poller until the condition holds or the patience runs out; returns the last step.
inline selection::PollStep stepUntil(selection::TextSelectionPoller& poller,
                                     const std::function<bool(const selection::PollStep&)>& condition, const char* what,
                                     std::chrono::seconds patience = 10s)
{
    selection::PollStep step;
    if (!waitUntil([&] { return condition(step = poller.checkSelectedText()); }, patience)) {
        ADD_FAILURE() << "gave up waiting for " << what << "; last decision " << selection::decisionName(step.decision)
                      << ", role " << step.role.value_or(QStringLiteral("none")).toStdString() << " text ["
                      << step.text.toStdString() << "]";
    }
    return step;
}

// A suite's peers and the real AT-SPI layer, started by its SetUpTestSuite; a poller for each test.
// Every peer must still answer its accessibility tree 5 s after the suite's first step: a query of
// ours that makes an application work through its whole document freezes it for minutes.
class DesktopSuite : public ::testing::Test {
protected:
    static void TearDownTestSuite()
    {
        if (firstStep) {
            waitUntil([] { return std::chrono::steady_clock::now() - *firstStep >= 5s; }, 10s);
            for (const Peer* peer : peers) {
                if (peer->process && !peer->window.isEmpty()) {
                    EXPECT_TRUE(answersAccessibility(peer->windowPid()))
                        << peer->process->program().toStdString()
                        << " no longer answers its accessibility tree after the watcher's steps";
                }
            }
            firstStep.reset();
        }
        backend.reset();
        for (Peer* peer : peers) {
            peer->stop();
        }
    }
    void SetUp() override
    {
        if (!inDesktopSession()) {
            GTEST_SKIP() << "needs scripts/desktop-session";
        }
        ASSERT_TRUE(backend && backend->isAvailable());
        for (const Peer* peer : peers) {
            ASSERT_FALSE(peer->window.isEmpty()) << peer->process->program().toStdString() << " showed no window";
        }
        poller = headlessPoller(*backend);
    }
    selection::PollStep stepUntil(const std::function<bool(const selection::PollStep&)>& condition, const char* what,
                                  std::chrono::seconds patience = 10s)
    {
        if (!firstStep) {
            firstStep = std::chrono::steady_clock::now();
        }
        return test::stepUntil(*poller, condition, what, patience);
    }

    static inline std::vector<Peer*> peers;
    static inline std::unique_ptr<platform::AtspiAccessibility> backend;
    static inline std::optional<std::chrono::steady_clock::time_point> firstStep;
    std::unique_ptr<selection::TextSelectionPoller> poller;
};

// In the focused editor: a long line, a short one, and a selection from the sixth character of the
// first to the sixth of the second, whose ends lie close together: its rectangle spans both lines.
inline void expectSelectionOverTwoLinesSpansBoth(selection::TextSelectionPoller& poller, std::chrono::seconds patience)
{
    xdotool("key", "ctrl+a");
    typeLines({"aaaa bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", "cc dd ee"});
    xdotool("key", "ctrl+Home", "Right", "Right", "Right", "Right", "Right", "shift+Down");
    const selection::PollStep both = stepUntil(
        poller, [](const selection::PollStep& s) { return s.text.endsWith(QStringLiteral("cc dd")) && s.rect; },
        "two lines", patience);
    xdotool("key", "ctrl+Home", "shift+End");
    const selection::PollStep firstLine = stepUntil(
        poller, [](const selection::PollStep& s) { return s.text.startsWith(QStringLiteral("aaaa")) && s.rect; },
        "the first line", patience);
    ASSERT_TRUE(both.rect && firstLine.rect);
    EXPECT_NEAR(both.rect->width, firstLine.rect->width, 2.0) << "as wide as the long first line";
    EXPECT_GT(both.rect->height, 1.5 * firstLine.rect->height) << "as high as both lines";
    EXPECT_NEAR(both.rect->y, firstLine.rect->y, 1.0);
}

} // namespace parlomatic::test
