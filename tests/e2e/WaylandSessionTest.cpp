// The selection watcher under a headless sway, KWin or GNOME Shell (tests/e2e/*_session.sh): native
// clients of GTK 3, GTK 4 and Qt, and the Qt test window on XWayland.

// cpp-httplib before Xlib, whose macros (Success, None) break it.
#include "support/TlsTestServer.h"

#include "app/SingleInstance.h"
#include "common/CurlHttpClient.h"
#include "e2e/DesktopTestSupport.h"
#include "fakes/FakeSession.h"
#include "panels/ActionsWindow.h"
#include "panels/FloatingWindow.h"
#include "panels/TranslateState.h"
#include "panels/TranslateView.h"
#include "panels/TranslateWindow.h"
#include "platform/linux/atspi/AtspiElement.h"
#include "platform/linux/atspi/UnresponsiveProcesses.h"
#include "platform/linux/wayland/WaylandPaster.h"
#include "platform/linux/wayland/gnome/GnomeShellShortcuts.h"
#include "platform/linux/wayland/gnome/GnomeShellWindows.h"
#include "platform/linux/wayland/gnome/MutterKeyPaster.h"
#include "platform/linux/wayland/kwin/KWinWindows.h"
#include "platform/linux/wayland/sway/SwayWindows.h"
#include "platform/linux/x11/X11KeyPaster.h"
#include "selection/KeyboardActions.h"
#include "selection/TextActions.h"
#include "selection/WriteBack.h"
#include "service/Cld2LanguageRecognizer.h"
#include "service/Preferences.h"
#include "support/LogCapture.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>

#include <array>
#include <csignal>

namespace parlomatic {
namespace {

using namespace std::chrono_literals;
using Decision = selection::PollStep::Decision;
using test::Peer;

// Writes `text` into the element and selects it through AT-SPI (the compositor's virtual keyboard loses keys).
void writeAndSelect(const selection::Element& element, const QString& text)
{
    ASSERT_TRUE(test::elementText(element, text));
    test::selectText(element, 0, int(text.size()));
}

QString wholeText(const selection::Element& element)
{
    return test::elementText(element).value_or(QString());
}

// Writes `answer` over `selected` and waits for the outcome.
selection::WriteResult writeOver(selection::WriteBack& writeBack, const selection::Element& element,
                                 const QString& selected, const QString& answer)
{
    std::optional<selection::WriteResult> outcome;
    writeBack.writeText(element, selected, answer,
                        [&outcome](const selection::WriteResult& result) { outcome = result; });
    EXPECT_TRUE(test::waitUntil([&outcome] { return outcome.has_value(); }));
    return outcome.value_or(
        std::unexpected(selection::WriteError{.kind = selection::WriteError::Kind::failed, .message = "no result"}));
}

// The step's element is the focused text area of the process.
std::function<bool(const selection::PollStep&)> textAreaOf(const Peer& peer, platform::AtspiAccessibility& backend)
{
    return [&peer, &backend](const selection::PollStep& s) {
        return s.pid == peer.pid() && backend.elementRole(s.element) == QLatin1StringView(selection::axRole::textArea);
    };
}

// The paste into native windows the application picks in this session.
std::unique_ptr<selection::WindowPaster> sessionPaster()
{
    return app::PlatformParts(platform::Session::probe()).windowPaster();
}

bool onSway()
{
    return !qEnvironmentVariableIsEmpty("SWAYSOCK");
}

// The compositor's view of the process's focused window, in XWayland's root units: sway's tree, or what
// GNOME Shell tells our extension or KWin a script of ours (in an instance of the test's own).
std::optional<selection::AxRect> compositorWindowOf(qint64 pid)
{
    if (onSway()) {
        QProcess query;
        query.start(QStringLiteral("swaymsg"),
                    {QStringLiteral("-r"), QStringLiteral("-t"), QStringLiteral("get_tree")});
        if (!query.waitForFinished(5000)) {
            return std::nullopt;
        }
        const auto tree = nlohmann::json::parse(query.readAllStandardOutput().toStdString(), nullptr, false);
        return platform::SwayWindows::focusedWindowIn(tree, selection::Pid(pid));
    }
    std::unique_ptr<platform::WaylandWindows> compositor = platform::GnomeShellWindows::connect();
    if (!compositor) {
        compositor = platform::KWinWindows::connect();
    }
    std::optional<selection::AxRect> window;
    double rootScale = 1;
    if (compositor) {
        test::waitUntil(
            [&] {
                const auto geometry = compositor->focusedWindow(selection::Pid(pid));
                rootScale = geometry ? geometry->rootScale : 1;
                window = geometry
                             ? std::optional(platform::WindowPlacement{.rootScale = rootScale}.onRoot(geometry->frame))
                             : std::nullopt;
                return window.has_value();
            },
            2s, 20ms);
    }
    // The scale kwin_session.sh started KWin with, worked out from XWayland's root.
    if (window && !qEnvironmentVariableIsEmpty("PARLOMATIC_KWIN_SCALE")) {
        EXPECT_EQ(rootScale, qEnvironmentVariable("PARLOMATIC_KWIN_SCALE").toDouble());
    }
    return window;
}

// A screenshot of the whole desktop into `file`; false where the compositor gives none (KWin without OpenGL).
bool takeScreenshot(const QString& file)
{
    test::spinEventLoop(300ms);
    if (onSway()) {
        // In layout pixels, as the rectangles are, whatever the outputs' scales.
        return QProcess::execute(QStringLiteral("grim"), {QStringLiteral("-s"), QStringLiteral("1"), file}) == 0;
    }
    // GNOME Shell answers in its unsafe mode only, as the test session runs it.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.Shell.Screenshot"), QStringLiteral("/org/gnome/Shell/Screenshot"),
        QStringLiteral("org.gnome.Shell.Screenshot"), QStringLiteral("Screenshot"));
    call << false << false << file;
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
    return reply.type() == QDBusMessage::ReplyMessage && QFile::exists(file);
}

// A command to sway; nothing under the other compositors.
void swayCommand(const QString& command)
{
    if (onSway()) {
        QProcess::execute(QStringLiteral("swaymsg"), {command});
    }
}

// The README's bindsym lines, bound in sway with the built program for `parlomatic`.
void bindReadmeLinesInSway()
{
    QFile readme(QStringLiteral(PARLOMATIC_README));
    ASSERT_TRUE(readme.open(QIODevice::ReadOnly));
    int bound = 0;
    for (const QString& line : QString::fromUtf8(readme.readAll()).split(u'\n')) {
        if (line.startsWith(QLatin1String("    bindsym ")) && line.contains(QLatin1String(" exec parlomatic --"))) {
            const QString command = QString(line.trimmed())
                                        .replace(QLatin1String(" exec parlomatic "),
                                                 QStringLiteral(" exec %1 ").arg(QStringLiteral(PARLOMATIC_PROGRAM)));
            EXPECT_EQ(QProcess::execute(QStringLiteral("swaymsg"), {QStringLiteral("-q"), command}), 0)
                << command.toStdString();
            ++bound;
        }
    }
    ASSERT_EQ(bound, 3);
}

// A native client, up once the compositor focuses it (a window mapped later retiles the others).
Peer startNative(const QString& program, const QStringList& arguments, const char* variable, const char* value)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(variable), QString::fromLatin1(value));
    Peer peer = Peer::start(program, arguments, environment, 0s);
    test::waitUntil([&peer] { return compositorWindowOf(peer.pid()).has_value(); }, 30s);
    return peer;
}

// Mousepad, a native client (no X11 window), is started once and ended by the suite.
class WaylandSessionTest : public test::DesktopSuite {
protected:
    static void SetUpTestSuite()
    {
        if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && test::inDesktopSession()) {
            backend = test::accessibilityLayer();
            mousepad = startNative(QStringLiteral("mousepad"), {}, "GDK_BACKEND", "wayland");
        }
    }
    static void TearDownTestSuite()
    {
        mousepad.stop();
        DesktopSuite::TearDownTestSuite();
    }
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
            GTEST_SKIP() << "needs tests/e2e/wayland_session.sh (or kwin_ or gnome_)";
        }
        DesktopSuite::SetUp();
    }

    // The real strip over a selection in the peer, checked against the compositor, XWayland and the screen.
    void stripStandsOverASelectionIn(const Peer& peer);

    static inline Peer mousepad;
};

void WaylandSessionTest::stripStandsOverASelectionIn(const Peer& peer)
{
    const selection::PollStep front = stepUntil(textAreaOf(peer, *backend), "the application in front", 30s);
    const QString text = QStringLiteral("placed on Wayland");
    writeAndSelect(front.element, text);
    EXPECT_TRUE(backend->isWindowPositionKnown(front.element));

    // The real strip, an X11 window of ours on XWayland.
    QTemporaryDir folder;
    service::Preferences preferences(folder.filePath(QStringLiteral("Parlomatic.conf")).toStdString());
    panels::ActionsWindow* strip = nullptr;
    selection::TextSelectionPoller real(*backend, [&](selection::TextSelectionPoller& owner) {
        auto made = std::make_unique<panels::ActionsWindow>(owner, QStringLiteral("app.parlomatic.Test"), preferences);
        placeByOwnCoordinates(*made);
        strip = made.get();
        return made;
    });
    selection::PollStep step = test::stepUntil(real, test::showing(text), "the strip over a native window");
    // A window just mapped or resized may answer with its former size for a moment, and what was worked
    // out from it holds for a second at most: taken once two steps more than a second apart agree.
    for (int tries = 0; tries < 5; ++tries) {
        test::spinEventLoop(1100ms);
        const selection::PollStep again = real.checkSelectedText();
        if (again.rect == step.rect && again.panel == step.panel) {
            break;
        }
        step = again;
    }
    const std::optional<selection::AxRect> window = compositorWindowOf(peer.pid());
    ASSERT_TRUE(window && step.rect && step.panel && strip != nullptr);
    std::printf("compositor's window %.0f,%.0f %.0fx%.0f; selection %.0f,%.0f %.0fx%.0f\n", window->x, window->y,
                window->width, window->height, step.rect->x, step.rect->y, step.rect->width, step.rect->height);
    EXPECT_TRUE(test::inside(*step.rect, *window));
    // The selection is the first line of the text area (whose margins vary by toolkit).
    const std::optional<selection::AxRect> frame = backend->elementFrame(front.element);
    ASSERT_TRUE(frame);
    // (A window larger than its tile is cut at the tile's edges.)
    EXPECT_TRUE(test::inside({frame->x, frame->y, 1, 1}, *window));
    EXPECT_TRUE(test::inside(*step.rect, *frame));
    EXPECT_LT(step.rect->y, frame->y + 3 * step.rect->height);

    // XWayland has the strip where the poller put it, on the selection's upper edge (or lower, with no room).
    std::optional<selection::AxRect> mapped;
    ASSERT_TRUE(
        test::waitUntil([&] { return (mapped = test::windowGeometry(QString::number(strip->winId()))).has_value(); }));
    EXPECT_EQ(qRound(mapped->x), step.panel->x());
    EXPECT_EQ(qRound(mapped->y), step.panel->y());
    EXPECT_TRUE(qRound(mapped->y + mapped->height) == qRound(step.rect->y) ||
                qRound(mapped->y) == qRound(step.rect->y + step.rect->height));
    EXPECT_LE(mapped->x, step.rect->x + step.rect->width) << "over the selection";
    EXPECT_TRUE(compositorWindowOf(peer.pid())) << "the application kept the keyboard focus";
    // The inspector, run as a user runs it (Qt's own choice of platform), places its strip there at its
    // first step (KWin's script answers a moment after start).
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    qunsetenv("QT_QPA_PLATFORM");
    nlohmann::json inspected = test::inspect(PARLOMATIC_INSPECT, {QStringLiteral("--once")}).at(0);
    qputenv("QT_QPA_PLATFORM", platform);
    const auto rect = nlohmann::json::array({step.rect->x, step.rect->y, step.rect->width, step.rect->height});
    ASSERT_TRUE(inspected.is_object() && inspected["rect"] == rect && inspected["panel"].is_array())
        << inspected.dump();
    const nlohmann::json panel = inspected["panel"];
    EXPECT_TRUE(panel[1].get<int>() + panel[3].get<int>() == qRound(step.rect->y) ||
                panel[1].get<int>() == qRound(step.rect->y + step.rect->height))
        << inspected.dump();
    // On the screen (where the compositor gives tests a screenshot) the highlight fills the rectangle, and ends at it.
    const QString shot = folder.filePath(QStringLiteral("screen.png"));
    if (takeScreenshot(shot)) {
        const QImage screen(shot);
        const auto highlighted = [&screen](double x, double y) {
            const QColor pixel = screen.pixelColor(qRound(x), qRound(y));
            return pixel.blue() > pixel.red() + 25;
        };
        const selection::AxRect& r = *step.rect;
        EXPECT_TRUE(highlighted(r.x + 1, r.y + 1) && highlighted(r.x + r.width - 2, r.y + r.height - 2));
        EXPECT_FALSE(highlighted(r.x + r.width + 3, r.y + r.height / 2));
        EXPECT_FALSE(highlighted(r.x + r.width / 2, r.y + r.height + 3));
    }

    // The selection gone, the strip goes.
    ASSERT_TRUE(test::unselectText(front.element));
    test::stepUntil(
        real, [](const selection::PollStep& s) { return s.decision == Decision::hide; }, "the strip hidden");
    EXPECT_FALSE(strip->isVisible());

    // Replace's write-back without keys to send: the element's own text, exactly the selection.
    test::selectText(front.element, 0, int(text.size()));
    ASSERT_TRUE(test::waitUntil([&] { return backend->selectedText(front.element) == text; }));
    selection::WriteBack writeBack(*backend, nullptr);
    EXPECT_EQ(writeOver(writeBack, front.element, text, QStringLiteral("written on Wayland")),
              selection::WriteResult(selection::Written::confirmed));
    EXPECT_EQ(wholeText(front.element), QStringLiteral("written on Wayland"));
}

// The "user's" clipboard of the paste test: a text and an image.
platform::ClipboardFormats usersClipboard()
{
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(QColor(20, 140, 60));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {{QStringLiteral("text/plain;charset=utf-8"), QByteArrayLiteral("kept text")},
            {QStringLiteral("image/png"), png}};
}

// Another process (this program with --hold-clipboard) holding the user's clipboard, or `text` alone.
auto holdClipboardElsewhere(const QString& text = {})
{
    std::unique_ptr<QProcess, void (*)(QProcess*)> holder(new QProcess, [](QProcess* process) {
        process->kill();
        process->waitForFinished(2000);
        delete process;
    });
    holder->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold-clipboard"), text});
    test::waitUntil([&holder] { return holder->readAllStandardOutput().contains("holding"); }, 10s, 20ms);
    return holder;
}

// What another client reads from the clipboard (wl-paste), our event loop running meanwhile.
QByteArray clipboardAs(const QString& format)
{
    QProcess reader;
    reader.start(QStringLiteral("wl-paste"), {QStringLiteral("--no-newline"), QStringLiteral("--type"), format});
    test::waitUntil([&reader] { return reader.state() == QProcess::NotRunning; }, 5s, 10ms);
    return reader.readAllStandardOutput();
}

// The write-back pastes through the compositor's keys (sway's virtual keyboard, KWin's fake input, GNOME
// Shell's remote desktop) after the checks of X11 (TextActionsTest). The user's clipboard, held by another process in
// two formats, comes back once the paste shows; an owner that does not answer costs a moment.
TEST_F(WaylandSessionTest, APasteThroughTheCompositorKeepsTheUsersClipboard)
{
    const auto paster = sessionPaster();
    ASSERT_TRUE(paster);
    ASSERT_TRUE(paster->canSendKeys());
    const selection::PollStep front = stepUntil(textAreaOf(mousepad, *backend), "Mousepad in front", 30s);
    const auto holder = holdClipboardElsewhere();
    platform::X11KeyPaster xwaylandKeys(true);
    selection::WriteBack writeBack(*backend, &xwaylandKeys, paster.get());
    const auto pasteOver = [&](const QString& selected, const QString& answer) {
        writeAndSelect(front.element, selected);
        ASSERT_TRUE(test::waitUntil([&] { return backend->selectedText(front.element) == selected; }));
        ASSERT_EQ(writeOver(writeBack, front.element, selected, answer),
                  selection::WriteResult(selection::Written::confirmed));
        ASSERT_TRUE(test::waitUntil([&] { return wholeText(front.element) == answer; }, 5s, 5ms))
            << wholeText(front.element).toStdString();
    };

    pasteOver(QStringLiteral("paste over this"), QStringLiteral("pasted on Wayland"));
    for (const auto& held : usersClipboard()) {
        EXPECT_TRUE(test::waitUntil([&held] { return clipboardAs(held.first) == held.second; }, 8s, 100ms))
            << held.first.toStdString();
    }
    EXPECT_TRUE(compositorWindowOf(mousepad.pid())) << "the application kept the keyboard focus";

    // An owner that never answers: its clipboard is left alone, and the paste goes on at once.
    const auto stopped = holdClipboardElsewhere();
    ::kill(pid_t(stopped->processId()), SIGSTOP);
    const auto started = std::chrono::steady_clock::now();
    pasteOver(QStringLiteral("over a stopped owner"), QStringLiteral("pasted anyway"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    ::kill(pid_t(stopped->processId()), SIGCONT);

    // A reader that closes its end of a large clipboard of ours early costs a failed write, not this process.
    if (const auto server = platform::WaylandPaster::connect(platform::Session::probe().waylandDisplay)) {
        server->hold({{QStringLiteral("text/plain"), QByteArray(qsizetype{8} * 1024 * 1024, 'x')}});
        QProcess reader;
        reader.start(QStringLiteral("sh"),
                     {QStringLiteral("-c"), QStringLiteral("wl-paste --type text/plain | head -c 1")});
        EXPECT_TRUE(test::waitUntil([&reader] { return reader.state() == QProcess::NotRunning; }, 5s, 10ms));
        test::spinEventLoop(500ms);
        EXPECT_EQ(clipboardAs(QStringLiteral("text/plain")).size(), 8 * 1024 * 1024);
    }
}

// A mixed session: a paste into a native window, then one into an XWayland window, and the other way
// round. Whichever side of ours served the user's clipboard last, the next paste keeps it: it comes back
// byte for byte after each paste, and no paste waits on a clipboard that we serve ourselves.
TEST_F(WaylandSessionTest, NativeAndXWaylandPastesInEitherOrderKeepTheUsersClipboard)
{
    const auto paster = sessionPaster();
    if (dynamic_cast<platform::WaylandPaster*>(paster.get()) == nullptr) {
        GTEST_SKIP() << "the compositor pastes through XWayland's clipboard here";
    }
    platform::X11KeyPaster xwaylandKeys(true);
    selection::WriteBack writeBack(*backend, &xwaylandKeys, paster.get());
    const auto pasteInto = [&](const Peer& editor, const char* side) {
        SCOPED_TRACE(side);
        const selection::PollStep front = stepUntil(textAreaOf(editor, *backend), "the editor in front", 30s);
        const QString selected = QStringLiteral("paste over this");
        writeAndSelect(front.element, selected);
        ASSERT_TRUE(test::waitUntil([&] { return backend->selectedText(front.element) == selected; }));
        // An editor slow to answer right after the paste (a loaded machine) is left alone for a cooling
        // period: that delays the read-back, not the paste.
        bool cooled = false;
        QTimer cooling;
        QObject::connect(&cooling, &QTimer::timeout,
                         [&] { cooled = cooled || backend->isUnresponsive(front.pid.value_or(0)); });
        cooling.start(20);
        const auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(writeOver(writeBack, front.element, selected, QStringLiteral("pasted")),
                  selection::WriteResult(selection::Written::confirmed));
        EXPECT_LT(std::chrono::steady_clock::now() - started,
                  3s + (cooled ? platform::UnresponsiveProcesses::coolDown : 0s))
            << "a paste waited on our own clipboard";
        EXPECT_EQ(wholeText(front.element), QStringLiteral("pasted"));
        for (const auto& held : usersClipboard()) {
            EXPECT_TRUE(test::waitUntil([&held] { return clipboardAs(held.first) == held.second; }, 8s, 100ms))
                << held.first.toStdString() << ": " << clipboardAs(held.first).left(40).toStdString();
        }
    };
    // A window started last has the focus, and gives it back to the one before when it ends: Mousepad
    // natively, the Qt window on XWayland.
    Peer native =
        startNative(QStringLiteral("mousepad"), {QStringLiteral("--disable-server")}, "GDK_BACKEND", "wayland");
    const auto stop = qScopeGuard([&native] { native.stop(); });
    const auto startX11 = [] {
        return startNative(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {}, "QT_QPA_PLATFORM", "xcb");
    };
    {
        const auto holder = holdClipboardElsewhere();
        pasteInto(native, "native first");
        Peer x11 = startX11();
        pasteInto(x11, "then XWayland");
        x11.stop();
    }
    const auto holder = holdClipboardElsewhere();
    Peer x11 = startX11();
    pasteInto(x11, "XWayland first");
    x11.stop();
    // KWin's clipboard hands over nothing for a moment after the last X11 window has gone.
    ASSERT_TRUE(test::waitUntil([] { return clipboardAs(QStringLiteral("image/png")) == usersClipboard()[1].second; }));
    pasteInto(native, "then native");
}

// The desktop's own keys for Replace, then Translate (the panel with a loopback service's answer), over a
// selection in Mousepad. Sway: the README's bindsym lines, bound
// with the built program for `parlomatic`, whose Ctrl+Alt+R from a virtual keyboard runs it as sway's
// user; it hands the action to the running instance (this test, listening where sway's children look).
// GNOME Shell: our extension holds the keys and tells us of the press, sent through Mutter's remote desktop.
TEST_F(WaylandSessionTest, TheDesktopsKeysReplaceTheSelection)
{
    std::optional<app::SingleInstance> running;
    std::unique_ptr<platform::GnomeShellShortcuts> shell;
    std::function<void(char)> press;
    if (onSway()) {
        bindReadmeLinesInSway();
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFileInfo(qEnvironmentVariable("WAYLAND_DISPLAY")).path().toUtf8());
        ASSERT_EQ(running.emplace().claim(), app::SingleInstance::Role::primary);
        // Sway's user is another one where the test runs as root.
        QFile::setPermissions(running->socketPath(), QFileDevice::ReadOther | QFileDevice::WriteOther |
                                                         QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        qputenv("XDG_RUNTIME_DIR", runtime);
        press = [](char key) {
            QProcess::execute(QStringLiteral("wtype"),
                              {"-M", "ctrl", "-M", "alt", QString(QChar(key)), "-m", "alt", "-m", "ctrl"});
        };
    } else if (platform::GnomeShellShortcuts::available()) {
        shell = std::make_unique<platform::GnomeShellShortcuts>();
        std::vector<selection::GlobalShortcuts::Binding> refused;
        shell->setRefused(
            [&refused](const std::vector<selection::GlobalShortcuts::Binding>& taken) { refused = taken; });
        shell->bind({{.action = selection::ShortcutAction::translate,
                      .keys = selection::defaultShortcut(selection::ShortcutAction::translate)},
                     {.action = selection::ShortcutAction::replace,
                      .keys = selection::defaultShortcut(selection::ShortcutAction::replace)},
                     {.action = selection::ShortcutAction::improve, .keys = QKeySequence(QStringLiteral("Meta+S"))}});
        ASSERT_TRUE(test::waitUntil([&shell] { return shell->answeredLast(); }));
        ASSERT_EQ(refused.size(), 1U) << "GNOME Shell's own Super+S (the overview) is told";
        EXPECT_EQ(refused[0].action, selection::ShortcutAction::improve);
        press = [](char key) {
            constexpr uint control = 0xffe3;
            constexpr uint alt = 0xffe9;
            EXPECT_TRUE(platform::MutterKeyPaster::pressKeysym({control, alt}, uint(key)));
        };
    } else {
        GTEST_SKIP() << "KWin holds the keys through the desktop's portal (PortalGlobalShortcutsTest)";
    }

    // The strip's actions against a loopback service that answers "Notas <target>".
    test::TlsTestServer server;
    server.server().Post(".*", [](const httplib::Request& request, httplib::Response& response) {
        const auto target = nlohmann::json::parse(request.body, nullptr, false).value("target", "");
        response.set_content(
            nlohmann::json{{"data", {{"translations", {{{"translatedText", "Notas " + target}}}}}}}.dump(),
            "application/json");
    });
    ASSERT_TRUE(server.start());
    CurlHttpClient http(CurlHttpClient::Options{.extraCaFile = server.caFile()});
    service::Translator translator(http, server.hostAndPort());
    service::FakeSession session;
    service::Cld2LanguageRecognizer recognizer;
    QTemporaryDir folder;
    service::Preferences preferences(folder.filePath(QStringLiteral("Parlomatic.conf")).toStdString());
    preferences.setReplaceOutputLanguage(service::Language::pt_BR);
    const auto paster = sessionPaster();
    platform::X11KeyPaster xwaylandKeys(true);
    selection::WriteBack writeBack(*backend, &xwaylandKeys, paster.get());
    selection::TextActions actions(session, translator, recognizer, preferences, writeBack);
    panels::TranslateState state(session, translator, recognizer, preferences);
    auto made = std::make_unique<panels::TranslateWindow>(state, QStringLiteral("app.parlomatic.Test"));
    placeByOwnCoordinates(*made); // on XWayland, as the application places its panels
    const panels::TranslateWindow* panel = made.get();
    poller->setTranslatePanel(std::move(made));
    const auto dropPanel = qScopeGuard([this] { poller.reset(); }); // before the state it shows
    poller->setSelectionActions(actions.selectionActions());
    selection::KeyboardActions keys(*poller, preferences);
    const auto run = [&keys](selection::ShortcutAction action) { keys.run(action); };
    if (running) {
        QObject::connect(&*running, &app::SingleInstance::actionRequested, &keys,
                         [run](const QString& action) { run(*selection::shortcutNamed(action.toStdString())); });
    } else {
        shell->setActivated(run);
    }
    poller->startPolling();
    const selection::PollStep front = stepUntil(textAreaOf(mousepad, *backend), "Mousepad in front", 30s);
    const auto timed = [&](char key, const char* what, const std::function<bool()>& done) {
        writeAndSelect(front.element, QStringLiteral("act on me by key"));
        ASSERT_TRUE(test::waitUntil([&] { return backend->selectedText(front.element) == "act on me by key"; }));
        const auto pressed = std::chrono::steady_clock::now();
        press(key);
        EXPECT_TRUE(test::waitUntil(done, 15s, 2ms)) << what << ": " << wholeText(front.element).toStdString();
        std::printf("keys to %s: %lld ms\n", what,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - pressed)
                                               .count()));
    };
    for (int round = 0; round < 3; ++round) {
        timed('r', "the text replaced", [&] { return wholeText(front.element) == "Notas pt-BR"; });
        timed('e', "the translation shown", [&] {
            return panel->isVisible() && panel->view()->textLabel()->text().startsWith(QLatin1String("Notas "));
        });
        EXPECT_TRUE(compositorWindowOf(mousepad.pid())) << "the panel left Mousepad the keyboard";
        poller->translatePanel()->close();
    }
}

// Chromium's text cannot be written through AT-SPI: natively it gets the paste through the compositor,
// on XWayland our X11 keys. (Its own ctest entry: Chromium is slow to start.)
TEST_F(WaylandSessionTest, ChromiumGetsThePasteNativeOrOnXWayland)
{
    if (qEnvironmentVariableIsEmpty("PARLOMATIC_CHROMIUM")) {
        GTEST_SKIP() << "run by the WaylandSessionTest_SwayChromium entry";
    }
    platform::X11KeyPaster xwaylandKeys(true);
    const auto compositor = sessionPaster();
    selection::WriteBack writeBack(*backend, &xwaylandKeys, compositor.get());
    for (const QString& ozone : {QStringLiteral("wayland"), QStringLiteral("x11")}) {
        SCOPED_TRACE(ozone.toStdString());
        QTemporaryDir profile;
        Peer chromium =
            Peer::start(QStringLiteral("chromium"),
                        {QStringLiteral("--ozone-platform=") + ozone, QStringLiteral("--no-sandbox"),
                         QStringLiteral("--no-first-run"), QStringLiteral("--force-renderer-accessibility"),
                         QStringLiteral("--user-data-dir=") + profile.path(),
                         QStringLiteral("--app=data:text/html,<textarea autofocus>chromium text</textarea>")},
                        QProcessEnvironment::systemEnvironment(), 0s);
        const auto stop = qScopeGuard([&chromium] { chromium.stop(); });
        const selection::PollStep front = stepUntil(
            [&](const selection::PollStep& s) {
                return s.pid == chromium.pid() && wholeText(s.element) == "chromium text";
            },
            "Chromium's text area", 60s);
        ASSERT_FALSE(atspi_accessible_get_editable_text_iface(platform::atspiOf(front.element)));
        EXPECT_EQ(xwaylandKeys.reachesFocusOf(selection::Pid(chromium.pid())), ozone == QStringLiteral("x11"));
        test::selectText(front.element, 0, 13);
        ASSERT_TRUE(test::waitUntil([&] { return backend->selectedText(front.element) == "chromium text"; }));

        EXPECT_EQ(writeOver(writeBack, front.element, QStringLiteral("chromium text"),
                            QStringLiteral("pasted into Chromium")),
                  selection::WriteResult(selection::Written::confirmed));
        EXPECT_TRUE(test::waitUntil([&] { return wholeText(front.element) == "pasted into Chromium"; }))
            << wholeText(front.element).toStdString();
    }
}

// Mousepad (GTK 3), gnome-text-editor (GTK 4) and the Qt test window as native clients, and the Qt test
// window on XWayland.
TEST_F(WaylandSessionTest, TheStripStandsOverASelectionInEachToolkit)
{
    // On a layout of two outputs (PARLOMATIC_SWAY_SCALES), Mousepad and the native Qt window stand on the
    // second, scaled one.
    swayCommand(QStringLiteral("[pid=%1] move container to output HEADLESS-2, focus").arg(mousepad.pid()));
    stripStandsOverASelectionIn(mousepad);
    swayCommand(QStringLiteral("focus output HEADLESS-1"));
    Peer editor =
        startNative(QStringLiteral("gnome-text-editor"),
                    {QStringLiteral("--standalone"), QStringLiteral("--ignore-session")}, "GDK_BACKEND", "wayland");
    stripStandsOverASelectionIn(editor);
    editor.stop();
    swayCommand(QStringLiteral("focus output HEADLESS-2"));
    Peer window = startNative(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {}, "QT_QPA_PLATFORM", "wayland");
    stripStandsOverASelectionIn(window);
    window.stop();
    swayCommand(QStringLiteral("focus output HEADLESS-1"));
    Peer x11 = startNative(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {}, "QT_QPA_PLATFORM", "xcb");
    const auto stop = qScopeGuard([&x11] { x11.stop(); });
    stripStandsOverASelectionIn(x11);
}

// Last: a second layer in the process takes the first one's event registrations with it when it goes.
TEST_F(WaylandSessionTest, WithoutACompositorToAskNoStripIsPlaced)
{
    if (!onSway()) {
        GTEST_SKIP() << "only sway is told apart by its socket's variable";
    }
    swayCommand(QStringLiteral("[pid=%1] focus").arg(mousepad.pid()));
    const QByteArray sway = qgetenv("SWAYSOCK");
    qunsetenv("SWAYSOCK");
    const auto restore = qScopeGuard([&sway] { qputenv("SWAYSOCK", sway); });
    const test::LogCapture logs;
    const std::unique_ptr<platform::AtspiAccessibility> layer = test::accessibilityLayer();
    platform::AtspiAccessibility& blind = *layer;
    EXPECT_TRUE(logs.contains("does not tell Parlomatic where Wayland windows are")) << "the user is told";
    const auto blindPoller = test::headlessPoller(blind);
    const selection::PollStep front =
        test::stepUntil(*blindPoller, textAreaOf(mousepad, blind), "Mousepad in front", 30s);
    writeAndSelect(front.element, QStringLiteral("not placed"));
    EXPECT_TRUE(test::waitUntil([&] { return blind.selectedText(front.element) == QStringLiteral("not placed"); }));
    EXPECT_FALSE(blind.isWindowPositionKnown(front.element));
    EXPECT_EQ(std::string(selection::decisionName(blindPoller->checkSelectedText().decision)), "hide");
    const nlohmann::json line = test::inspect(PARLOMATIC_INSPECT, {QStringLiteral("--once")}).at(0);
    ASSERT_TRUE(line.is_object());
    EXPECT_TRUE(line["rect"].is_null());
    EXPECT_EQ(line.value("windowPosition", ""),
              "unknown: the compositor does not tell where this native Wayland window is; no strip is placed");
}

} // namespace
} // namespace parlomatic

int main(int argc, char** argv)
{
    // As Parlomatic itself on a Wayland session: through XWayland.
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    if (argc > 1 && std::string_view(argv[1]) == "--hold-clipboard") {
        // Through the compositor where it opens the clipboard to clients, else on XWayland's.
        const QByteArray text = argc > 2 ? QByteArray(argv[2]) : QByteArray();
        const auto held = text.isEmpty() ? parlomatic::usersClipboard()
                                         : parlomatic::platform::ClipboardFormats{{QStringLiteral("text/plain"), text}};
        const auto holder =
            parlomatic::platform::WaylandPaster::connect(parlomatic::platform::Session::probe().waylandDisplay);
        if (holder) {
            holder->hold(held);
        } else {
            auto* data = new QMimeData;
            for (const auto& [format, bytes] : held) {
                data->setData(format, bytes);
            }
            QGuiApplication::clipboard()->setMimeData(data);
        }
        std::puts("holding");
        std::fflush(stdout);
        return QApplication::exec();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
