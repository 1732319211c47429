// The real strip over Mousepad and the Qt test window, its buttons pressed with the pointer against a
// loopback HTTPS text service; the text read back through AT-SPI.

// cpp-httplib before Xlib, whose macros (Success, None) break it; moc cannot parse it at all.
#ifndef Q_MOC_RUN
#include "support/TlsTestServer.h"
#endif

#include "common/Clock.h"
#include "common/CurlHttpClient.h"
#include "e2e/DesktopTestSupport.h"
#include "fakes/FakeSession.h"
#include "fakes/RecordedNotices.h"
#include "panels/ActionButton.h"
#include "panels/ActionsView.h"
#include "panels/ActionsWindow.h"
#include "panels/CloseButton.h"
#include "panels/LanguageMenu.h"
#include "panels/LanguageMenuView.h"
#include "panels/MenuButton.h"
#include "panels/ReplaceButton.h"
#include "panels/TranslateState.h"
#include "panels/TranslateView.h"
#include "panels/TranslateWindow.h"
#include "platform/linux/atspi/AtspiElement.h"
#include "platform/linux/desktop/DesktopNotifications.h"
#include "selection/KeyboardActions.h"
#include "selection/KeyboardShortcuts.h"
#include "selection/TextActions.h"
#include "selection/WatchControl.h"
#include "service/Cld2LanguageRecognizer.h"

#include <csignal>
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTestEventLoop>
#include <QThreadPool>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <set>

// Xlib last: its macros (None, Bool) clash with names in Qt's headers.
#include "e2e/WriteBackTestSupport.h"
#include "platform/linux/x11/X11ErrorTrap.h"
#include "platform/linux/x11/X11GlobalShortcuts.h"
#include "platform/linux/x11/X11KeyPaster.h"

#include <X11/keysym.h>

using namespace parlomatic;
using test::BusyAfterKeys;
using test::freeForOthers;
using test::qtWindowImage;

namespace {

constexpr int deadlineMs = 15000;

// Runs xdotool to its end; whether it succeeded.
template <typename... Words> bool xdotool(const Words&... words)
{
    return QProcess::execute(QStringLiteral("xdotool"), QStringList{QString(words)...}) == 0;
}

bool click(const QWidget* widget, QPoint at)
{
    const QPoint point = widget->mapToGlobal(at);
    return xdotool("mousemove", QString::number(point.x()), QString::number(point.y()), "click", "1");
}

// The owner of "getactivewindow" (the window manager's active window) or "getwindowfocus" (the X focus).
qint64 windowPid(const char* query)
{
    return test::xdotoolOutput(query, "getwindowpid").toLongLong();
}

// A notification service of the test's own on the session bus: records what it is asked to show.
class NotificationRecorder : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList bodies;

public slots:
    Q_SCRIPTABLE uint Notify(const QString&, uint, const QString&, const QString&, const QString& body,
                             const QStringList&, const QVariantMap&, int)
    {
        bodies.append(body);
        return uint(bodies.size());
    }
};

} // namespace

class WriteBackDesktopTest : public QObject {
    Q_OBJECT

    using Peer = test::Peer;

    const QString m_sample =
        QStringLiteral("Meeting notes\nThe quarterly report is due next week.\nPlease send comments.\n");
    QTemporaryDir m_dir;
    Peer m_mousepad;
    Peer m_qtWindow;
    test::TlsTestServer m_server;
    std::unique_ptr<service::Preferences> m_preferences;
    std::unique_ptr<CurlHttpClient> m_http;
    std::unique_ptr<service::Translator> m_translator;
    service::Cld2LanguageRecognizer m_recognizer;
    service::FakeSession m_session;
    std::unique_ptr<platform::AtspiAccessibility> m_backend;
    platform::X11KeyPaster m_paster;
    BusyAfterKeys m_busyKeys{m_paster};
    bool m_textChanged = false;
    platform::GObjectPtr<AtspiEventListener> m_textListener;
    std::unique_ptr<selection::WriteBack> m_writeBack;
    std::unique_ptr<selection::TextActions> m_actions;
    platform::DesktopNotifications m_desktopNotices;
    std::unique_ptr<selection::ThrottledNotices> m_notices;
    std::atomic<bool> m_serviceDown = false;
    std::unique_ptr<panels::TranslateState> m_translateState;
    std::unique_ptr<selection::TextSelectionPoller> m_poller;
    panels::ActionsWindow* m_strip = nullptr;
    std::atomic<int> m_requests = 0;
    QString m_names;
    panels::TranslateWindow* m_panel = nullptr;

    // The global shortcuts as the application holds them, over the strip's actions; `arrived` is when
    // the last press reached them, counted from `pressed`.
    struct Keyboard {
        platform::X11GlobalShortcuts keys;
        selection::WatchControl control;
        test::RecordedNotices notices;
        selection::KeyboardShortcuts shortcuts;
        selection::KeyboardActions actions;
        QElapsedTimer pressed;
        qint64 arrived = -1;
        Keyboard(service::Preferences& preferences, selection::TextSelectionPoller& poller)
            : control(preferences, systemClock()), shortcuts(&keys, preferences, control, notices),
              actions(poller, preferences)
        {
            actions.setNotices(&notices);
            shortcuts.setHandler([this](selection::ShortcutAction action) {
                arrived = pressed.elapsed();
                actions.run(action);
            });
        }
    };

    // Types `keys` with xdotool, which runs on meanwhile as a user's hand would (it waits between its
    // keys), and runs the event loop until `done` holds, checked every millisecond: QTest's waits sleep
    // between their checks, which would hold up our clipboard's answers to the peer.
    bool typeUntil(Keyboard& keyboard, const QStringList& keys, const std::function<bool()>& done)
    {
        QProcess typing;
        keyboard.arrived = -1;
        keyboard.pressed.start();
        typing.start(QStringLiteral("xdotool"), keys);
        QTimer check;
        check.setInterval(1);
        connect(&check, &QTimer::timeout, this, [&] {
            if (done()) {
                check.stop();
                QTestEventLoop::instance().exitLoop();
            }
        });
        check.start();
        QTestEventLoop::instance().enterLoopMSecs(deadlineMs);
        return !check.isActive() && keyboard.arrived >= 0 &&
               QTest::qWaitFor([&typing] { return typing.state() == QProcess::NotRunning; }, deadlineMs) &&
               typing.exitCode() == 0;
    }

    selection::Element focusedText(const Peer& peer) const
    {
        const selection::Element application = m_backend->applicationElement(peer.pid());
        return application ? m_backend->focusedElement(application) : selection::Element{};
    }

    // Waits until the text is `expected`. The Qt window is read only once it announced a change (until
    // it has our clipboard it answers nothing, and a read would block the event loop that serves it).
    bool waitForText(const Peer& peer, const QString& expected)
    {
        return QTest::qWaitFor(
            [&] { return (&peer == &m_mousepad || m_textChanged) && test::elementText(focusedText(peer)) == expected; },
            deadlineMs);
    }

    // Clicks are aimed through Qt's idea of where a window is (read at each try), once it reached the server.
    static void waitForPlacement(const QWidget* window)
    {
        const auto qtPlacement = [window] {
            const QRect qt = window->geometry();
            return std::optional(selection::AxRect{
                .x = double(qt.x()), .y = double(qt.y()), .width = double(qt.width()), .height = double(qt.height())});
        };
        QTRY_COMPARE_WITH_TIMEOUT(test::windowGeometry(QString::number(window->winId())), qtPlacement(), deadlineMs);
    }

    // The peer is still the active window and has the keyboard focus.
    void verifyStillInFront(const Peer& peer)
    {
        QTRY_COMPARE_WITH_TIMEOUT(windowPid("getactivewindow"), peer.pid(), deadlineMs);
        QCOMPARE(windowPid("getwindowfocus"), peer.pid());
    }

    // Gives the peer `text`, selects `selected` in it with `keys` and waits for the strip over it.
    void select(const Peer& peer, const QString& text, const QString& keys, const QString& selected)
    {
        // A write still watching for its text would miss it once the text is set anew, and keep it on the
        // clipboard into the next case.
        QTRY_COMPARE_WITH_TIMEOUT(m_writeBack->pending(), 0, deadlineMs);
        QVERIFY(xdotool("windowactivate", "--sync", peer.window));
        QVERIFY(test::elementText(focusedText(peer), text) == text);
        QVERIFY(QProcess::execute(QStringLiteral("xdotool"),
                                  QStringList{"key", "--clearmodifiers"} + keys.split(u' ')) == 0);
        // A press runs what the last step saw: wait for a step over this selection.
        QString seen;
        const QMetaObject::Connection watch = connect(m_poller.get(), &selection::TextSelectionPoller::stepFinished,
                                                      this, [&](const selection::PollStep& step) { seen = step.text; });
        QTRY_COMPARE_WITH_TIMEOUT(seen, selected, deadlineMs);
        disconnect(watch);
        QTRY_COMPARE_WITH_TIMEOUT(windowPid("getactivewindow"), peer.pid(), deadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(m_strip->isOpen() && m_strip->isVisible(), deadlineMs);
        // The strip may still follow the text's new layout for a step or two: aimed at once steady.
        int steady = 0;
        QRect last;
        const QMetaObject::Connection still =
            connect(m_poller.get(), &selection::TextSelectionPoller::stepFinished, this, [&] {
                steady = m_strip->geometry() == last ? steady + 1 : 0;
                last = m_strip->geometry();
            });
        QTRY_VERIFY_WITH_TIMEOUT(steady >= 3, deadlineMs);
        disconnect(still);
        waitForPlacement(m_strip);
        m_textChanged = false;
    }

    // Clicks the strip's button (Replace on its title, beside its language picker).
    bool press(const QString& title)
    {
        const QList<panels::ActionButton*> buttons = m_strip->findChildren<panels::ActionButton*>();
        const auto found = std::ranges::find(buttons, title, &panels::ActionButton::text);
        const auto* replace = m_strip->findChild<panels::ReplaceButton*>();
        return title == QLatin1String("Replace") ? click(replace, replace->titleRect().center().toPoint())
                                                 : found != buttons.end() && click(*found, (*found)->rect().center());
    }

    // The names AT-SPI gives the showing controls of this process (atspi_probe.py, run while the event
    // loop answers it) include every one of `names`.
    bool announced(const QStringList& names)
    {
        return QTest::qWaitFor(
            [&] {
                QProcess probe;
                probe.start(qEnvironmentVariable("PARLOMATIC_SOURCE_DIR") + QStringLiteral("/tests/e2e/atspi_probe.py"),
                            {QStringLiteral("names"), QString::number(QCoreApplication::applicationPid())});
                static_cast<void>(
                    QTest::qWaitFor([&probe] { return probe.state() == QProcess::NotRunning; }, deadlineMs));
                m_names = QString::fromUtf8(probe.readAllStandardOutput());
                const QStringList lines = m_names.split(u'\n');
                return std::ranges::all_of(names, [&lines](const QString& name) {
                    return std::ranges::any_of(lines,
                                               [&name](const QString& line) { return line.endsWith(": " + name); });
                });
            },
            deadlineMs);
    }

    static void reportMedian(const char* what, std::vector<qint64> times)
    {
        std::ranges::sort(times);
        std::printf("%s: median %lld ms of %zu (%lld to %lld)\n", what, static_cast<long long>(times[times.size() / 2]),
                    times.size(), static_cast<long long>(times.front()), static_cast<long long>(times.back()));
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("PARLOMATIC_DESKTOP_SESSION") != QLatin1String("1")) {
            QSKIP("needs scripts/desktop-session");
        }
        m_textListener.reset(atspi_event_listener_new(
            [](AtspiEvent* event, void* self) {
                g_boxed_free(ATSPI_TYPE_EVENT, event);
                static_cast<WriteBackDesktopTest*>(self)->m_textChanged = true;
            },
            this, nullptr));
        QVERIFY(atspi_event_listener_register(m_textListener.get(), "object:text-changed", nullptr));
        // Answers at once: "Notas <target>" for a translation, the text and " (improved)" for an improvement.
        m_server.server().Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
            const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
            const nlohmann::json reply =
                request.path == "/v1/improve"
                    ? nlohmann::json{{"data",
                                      {{"improvements", {{{"improvedText", body.value("q", "") + " (improved)"}}}}}}}
                    : nlohmann::json{
                          {"data", {{"translations", {{{"translatedText", "Notas " + body.value("target", "")}}}}}}};
            ++m_requests;
            if (m_serviceDown) {
                response.status = 503;
                return;
            }
            response.set_content(reply.dump(), "application/json");
        });
        QVERIFY(m_server.start());

        m_mousepad = Peer::start(QStringLiteral("mousepad"), {QStringLiteral("--disable-server")});
        m_qtWindow = Peer::start(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {});
        QVERIFY(!m_mousepad.window.isEmpty() && !m_qtWindow.window.isEmpty());
        QVERIFY(xdotool("windowsize", m_mousepad.window, "640", "360", "windowmove", m_mousepad.window, "200", "200",
                        "windowmove", m_qtWindow.window, "300", "250"));

        m_preferences =
            std::make_unique<service::Preferences>(m_dir.filePath(QStringLiteral("Parlomatic.conf")).toStdString());
        m_http = std::make_unique<CurlHttpClient>(CurlHttpClient::Options{.extraCaFile = m_server.caFile()});
        m_translator = std::make_unique<service::Translator>(*m_http, m_server.hostAndPort());
        m_backend = test::accessibilityLayer();
        QVERIFY(m_backend->isAvailable());
        m_writeBack = std::make_unique<selection::WriteBack>(*m_backend, &m_busyKeys);
        m_actions = std::make_unique<selection::TextActions>(m_session, *m_translator, m_recognizer, *m_preferences,
                                                             *m_writeBack);
        m_translateState =
            std::make_unique<panels::TranslateState>(m_session, *m_translator, m_recognizer, *m_preferences);
        m_poller = std::make_unique<selection::TextSelectionPoller>(
            *m_backend, [this](selection::TextSelectionPoller& poller) {
                auto window = std::make_unique<panels::ActionsWindow>(poller, QStringLiteral("app.parlomatic.Test"),
                                                                      *m_preferences);
                window->setCompositingActive(false); // the harness runs no compositor
                m_strip = window.get();
                return window;
            });
        auto panel =
            std::make_unique<panels::TranslateWindow>(*m_translateState, QStringLiteral("app.parlomatic.Test"));
        panel->setCompositingActive(false);
        m_panel = panel.get();
        m_poller->setTranslatePanel(std::move(panel));
        m_notices = std::make_unique<selection::ThrottledNotices>(m_desktopNotices, systemClock());
        m_actions->setNotices(m_notices.get());
        m_poller->setSelectionActions(m_actions->selectionActions());
        m_poller->startPolling();
    }

    void cleanupTestCase()
    {
        m_poller.reset();
        QThreadPool::globalInstance()->waitForDone();
        m_mousepad.stop();
        m_qtWindow.stop();
    }

    // Replace over Mousepad's second line (the strip centred on its upper edge) and the Qt window's line:
    // exactly the answer replaces the selection, the focus stays, the user's clipboard comes back.
    void replaceWritesTheAnswerOverTheSelection()
    {
        const QString second = QStringLiteral("The quarterly report is due next week.");
        QString replaced = m_sample;
        replaced.replace(second, QStringLiteral("Notas en-US"));
        const QString line = QStringLiteral("Notes of the day");
        struct Case {
            const Peer& peer;
            QString text, keys, selected, expected;
        };
        const QString inMousepad = QStringLiteral("ctrl+Home Down shift+End");
        for (const Case& c :
             {Case{.peer = m_mousepad, .text = m_sample, .keys = inMousepad, .selected = second, .expected = replaced},
              Case{.peer = m_qtWindow, .text = line, .keys = "ctrl+a", .selected = line, .expected = "Notas en-US"}}) {
            if (&c.peer == &m_qtWindow) {
                QVERIFY(m_qtWindow.command("focus line"));
            }
            const QString usersClipboard = QStringLiteral("the user's own words over ") + c.selected;
            QGuiApplication::clipboard()->setText(usersClipboard);
            select(c.peer, c.text, c.keys, c.selected);
            if (&c.peer == &m_mousepad) {
                const selection::Element text = focusedText(m_mousepad);
                std::optional<selection::AxRect> rect = m_backend->selectionBoundsFromTextMarkers(text);
                rect = rect ? rect : m_backend->selectionBoundsFromRange(text);
                QVERIFY(rect);
                const QRect strip = m_strip->geometry();
                QCOMPARE(strip.size(), m_strip->paddedSize());
                QVERIFY2(qAbs(strip.top() + strip.height() - rect->y) <= 2, qPrintable(QString::number(rect->y)));
                QVERIFY(qAbs((strip.left() + strip.width() / 2.0) - (rect->x + rect->width / 2.0)) <= 2);
            }
            QVERIFY(press(QStringLiteral("Replace")));
            QVERIFY2(waitForText(c.peer, c.expected),
                     qPrintable(test::elementText(focusedText(c.peer)).value_or(QStringLiteral("<unreadable>"))));
            verifyStillInFront(c.peer);
            QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::clipboard()->text(), usersClipboard, deadlineMs);
        }
    }

    // An application busy for over a second when Ctrl+V arrives, alone and with a clipboard manager that
    // fetches every new clipboard content at once: the answer lands, never the user's clipboard, and that
    // clipboard (another application's text and image) comes back afterwards.
    void aBusyApplicationGetsTheAnswerNotTheUsersClipboard()
    {
        const auto notBusy = qScopeGuard([this] { m_busyKeys.busyPid = 0; });
        m_busyKeys.busyPid = pid_t(m_mousepad.pid());
        QString improved = m_sample;
        improved.replace(QStringLiteral("Meeting notes"), QStringLiteral("Meeting notes (improved)"));
        for (const bool manager : {false, true}) {
            if (manager) {
                QVERIFY(m_qtWindow.command("manage clipboard"));
            }
            QVERIFY(m_qtWindow.command("copy two formats"));
            QTRY_VERIFY_WITH_TIMEOUT(!QGuiApplication::clipboard()->ownsClipboard(), deadlineMs);
            select(m_mousepad, m_sample, QStringLiteral("ctrl+Home shift+End"), QStringLiteral("Meeting notes"));
            QVERIFY(press(QStringLiteral("Improve")));
            QVERIFY2(waitForText(m_mousepad, improved),
                     qPrintable(test::elementText(focusedText(m_mousepad)).value_or(QStringLiteral("<unreadable>"))));
            QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::clipboard()->text(), QStringLiteral("copied in the Qt window"),
                                      deadlineMs);
            QCOMPARE(QGuiApplication::clipboard()->mimeData()->data(QStringLiteral("image/png")), qtWindowImage());
        }
    }

    // A clipboard owner that takes a second over each format, or a stopped one, holds up neither the GUI
    // thread (no ping of 100 ms comes late by more than a moment) nor the keys, which go to the checked
    // window; its clipboard is left alone.
    void aSlowOrStoppedClipboardOwnerHoldsNothingUp()
    {
        QString improved = m_sample;
        improved.replace(QStringLiteral("Meeting notes"), QStringLiteral("Meeting notes (improved)"));
        for (const bool stopped : {false, true}) {
            QVERIFY(m_qtWindow.command(stopped ? "copy two formats" : "copy slowly"));
            QTRY_VERIFY_WITH_TIMEOUT(!QGuiApplication::clipboard()->ownsClipboard(), deadlineMs);
            if (stopped) {
                ::kill(static_cast<pid_t>(m_qtWindow.pid()), SIGSTOP);
            }
            const auto resume = qScopeGuard([&] { ::kill(static_cast<pid_t>(m_qtWindow.pid()), SIGCONT); });
            select(m_mousepad, m_sample, QStringLiteral("ctrl+Home shift+End"), QStringLiteral("Meeting notes"));
            QElapsedTimer since;
            qint64 late = 0;
            QTimer ping;
            ping.setInterval(100);
            connect(&ping, &QTimer::timeout, this, [&] { late = std::max(late, since.restart() - 100); });
            since.start();
            ping.start();
            QVERIFY(press(QStringLiteral("Improve")));
            QVERIFY(waitForText(m_mousepad, improved));
            ping.stop();
            QVERIFY2(late < 250, qPrintable(QStringLiteral("a ping came %1 ms late").arg(late)));
            verifyStillInFront(m_mousepad);
        }
    }

    // The picker's menu opens from the non-activating strip; choosing in it replaces into that language.
    void choosingALanguageReplacesIntoIt()
    {
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home shift+End"), QStringLiteral("Meeting notes"));
        panels::LanguageMenuView& picker = *m_strip->findChild<panels::ReplaceButton*>()->languageMenu()->controller();
        QVERIFY(click(picker.menuButton(), picker.menuButton()->rect().center()));
        QMenu& menu = *picker.openMenu();
        QTRY_VERIFY_WITH_TIMEOUT(menu.isVisible(), deadlineMs);
        QVERIFY(click(&menu, menu.actionGeometry(menu.actions().at(1)).center()));
        QString replaced = m_sample;
        replaced.replace(QStringLiteral("Meeting notes"), QStringLiteral("Notas pt-BR"));
        QVERIFY(waitForText(m_mousepad, replaced));
        QCOMPARE(m_preferences->replaceOutputLanguage(), service::Language::pt_BR);
        QTRY_VERIFY_WITH_TIMEOUT(!menu.isVisible(), deadlineMs);
        verifyStillInFront(m_mousepad);
    }

    // Close hides the strip and leaves Mousepad in front with its selection (the pause: TextSelectionPollerTest).
    void closeHidesTheStripForThisSelection()
    {
        const QString line = QStringLiteral("The quarterly report is due next week.");
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home Down shift+End"), line);
        QVERIFY(click(m_strip->view()->closeButton(), m_strip->view()->closeButton()->rect().center()));
        QTRY_VERIFY_WITH_TIMEOUT(!m_strip->isOpen() && !m_strip->isVisible(), deadlineMs);
        verifyStillInFront(m_mousepad);
        QCOMPARE(m_backend->selectedText(focusedText(m_mousepad)), std::optional<QString>(line));
    }

    void translateOpensThePanelWithTheTranslation()
    {
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home shift+End"), QStringLiteral("Meeting notes"));
        QVERIFY(press(QStringLiteral("Translate")));
        QTRY_COMPARE_WITH_TIMEOUT(m_panel->view()->textLabel()->text(), QStringLiteral("Notas en-US"), deadlineMs);
        QVERIFY(m_panel->isOpen() && m_panel->isVisible());
        QVERIFY(m_panel->geometry().bottom() < m_strip->geometry().bottom());

        waitForPlacement(m_panel);
        const panels::CloseButton* close = m_panel->view()->closeButton();
        QVERIFY(click(close, close->rect().center()));
        QTRY_VERIFY_WITH_TIMEOUT(!m_panel->isOpen() && !m_panel->isVisible(), deadlineMs);
    }

    // The text service failing (503): the user is told through the desktop's notifications (in plain words,
    // nothing written: TextActionsTest; once in 30 s: ThrottledNoticesTest).
    void aServiceThatDoesNotAnswerIsTold()
    {
        NotificationRecorder recorder;
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &recorder,
                                   QDBusConnection::ExportScriptableSlots));
        QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
        m_serviceDown = true;
        const QString line = QStringLiteral("Please send comments.");
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home Down Down shift+End"), line);
        QVERIFY(press(QStringLiteral("Replace")));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.bodies.size(), 1, deadlineMs);
        m_serviceDown = false;
        bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        QCOMPARE(recorder.bodies.value(0), QString::fromLatin1(selection::TextActions::serviceRefused.message));
    }

    // Each shortcut over a Mousepad selection, the pointer away from the strip and Ctrl+Alt still held
    // while the answer is pasted: Replace writes the translation into the language beside the strip's
    // Replace, Improve the improvement; Translate, the strip closed, opens the panel with the keyboard,
    // and Escape gives it back.
    void shortcutsActOnTheSelection()
    {
        Keyboard keyboard(*m_preferences, *m_poller);
        QVERIFY(keyboard.notices.told.isEmpty());
        m_preferences->setReplaceOutputLanguage(service::Language::es_MX);
        QVERIFY(xdotool("mousemove", "0", "0"));
        const QString second = QStringLiteral("The quarterly report is due next week.");
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home Down shift+End"), second);
        QString expected = m_sample;
        expected.replace(second, QStringLiteral("Notas es-MX"));
        // Times from xdotool's start and from the press reaching us to the text replaced, and from the press to
        // the write-back seeing it (the user's clipboard back). Mousepad is read once it announces a change.
        std::array<std::vector<qint64>, 3> replaced;
        for (int run = 0; run < 3; ++run) {
            if (run > 0) {
                select(m_mousepad, m_sample, QStringLiteral("ctrl+Home Down shift+End"), second);
            }
            const auto confirmed = [&] {
                if (replaced[0].size() == size_t(run) && std::exchange(m_textChanged, false) &&
                    test::elementText(focusedText(m_mousepad)) == expected) {
                    replaced[0].push_back(keyboard.pressed.elapsed());
                    replaced[1].push_back(keyboard.pressed.elapsed() - keyboard.arrived);
                }
                if (replaced[0].size() == size_t(run) || m_writeBack->pending() > 0) {
                    return false;
                }
                replaced[2].push_back(keyboard.pressed.elapsed() - keyboard.arrived);
                return true;
            };
            QVERIFY2(typeUntil(keyboard, {"keydown", "ctrl", "keydown", "alt", "key", "r"}, confirmed),
                     qPrintable(test::elementText(focusedText(m_mousepad)).value_or(QStringLiteral("<unreadable>"))));
            QVERIFY(xdotool("keyup", "alt", "keyup", "ctrl"));
        }
        reportMedian("keys to the text replaced", replaced[0]);
        reportMedian("the press received to the text replaced", replaced[1]);
        reportMedian("the press received to the write-back confirmed", replaced[2]);

        const QString last = QStringLiteral("Please send comments.");
        select(m_mousepad, expected, QStringLiteral("ctrl+End Up shift+End"), last);
        QVERIFY(xdotool("key", "ctrl+alt+i"));
        expected.replace(last, last + QStringLiteral(" (improved)"));
        QVERIFY(waitForText(m_mousepad, expected));

        select(m_mousepad, expected, QStringLiteral("ctrl+Home Down shift+End"), QStringLiteral("Notas es-MX"));
        m_poller->actionState().triggerClose();
        QTRY_VERIFY_WITH_TIMEOUT(!m_strip->isOpen(), deadlineMs);
        std::array<std::vector<qint64>, 2> shown;
        for (int run = 0; run < 5; ++run) {
            QVERIFY(typeUntil(keyboard, {"key", "ctrl+alt+e"}, [&] {
                if (!m_panel->isVisible() || m_panel->view()->textLabel()->text() != "Notas en-US") {
                    return false;
                }
                shown[0].push_back(keyboard.pressed.elapsed());
                shown[1].push_back(keyboard.pressed.elapsed() - keyboard.arrived);
                return true;
            }));
            QTRY_COMPARE_WITH_TIMEOUT(windowPid("getwindowfocus"), QCoreApplication::applicationPid(), deadlineMs);
            if (run == 0) {
                // Tab reaches the language menu and the text, where the keyboard selects and copies.
                std::set<const QWidget*> reached{QApplication::focusWidget()};
                for (int tab = 0; tab < 2; ++tab) {
                    QVERIFY(xdotool("key", "Tab"));
                    QTest::qWait(100); // a Tab that moves nothing changes nothing to wait on
                    reached.insert(QApplication::focusWidget());
                }
                QVERIFY(reached.contains(static_cast<const QWidget*>(m_panel->view()->languageButton())));
                QVERIFY(reached.contains(static_cast<const QWidget*>(m_panel->view()->textLabel())));
            }
            QVERIFY(xdotool("key", "Escape"));
            QTRY_VERIFY_WITH_TIMEOUT(!m_panel->isOpen() && !m_panel->isVisible(), deadlineMs);
            verifyStillInFront(m_mousepad);
        }
        reportMedian("keys to the translation shown", shown[0]);
        reportMedian("the press received to the translation shown", shown[1]);
        QVERIFY(test::elementText(focusedText(m_mousepad)) == expected);
        QCOMPARE(keyboard.notices.told, QStringList());
    }

    // Over text that cannot be changed (the Qt window's read-only text), Replace and Improve by their keys say
    // why they do nothing, and write nothing; the text service is not asked.
    void readOnlyTextIsNeitherReplacedNorImprovedByKeys()
    {
        Keyboard keyboard(*m_preferences, *m_poller);
        const QString text = QStringLiteral("Read-only text that can be selected");
        QVERIFY(m_qtWindow.command("focus readonly"));
        QVERIFY(xdotool("windowactivate", "--sync", m_qtWindow.window));
        QString seen;
        const QMetaObject::Connection watch = connect(m_poller.get(), &selection::TextSelectionPoller::stepFinished,
                                                      this, [&](const selection::PollStep& step) { seen = step.text; });
        QVERIFY(xdotool("key", "--clearmodifiers", "ctrl+a"));
        QTRY_COMPARE_WITH_TIMEOUT(seen, text, deadlineMs);
        disconnect(watch);
        const int asked = m_requests;
        for (const char* keys : {"ctrl+alt+r", "ctrl+alt+i"}) {
            const qsizetype told = keyboard.notices.told.size();
            QVERIFY(xdotool("key", keys));
            QTRY_COMPARE_WITH_TIMEOUT(keyboard.notices.told.size(), told + 1, deadlineMs);
            QCOMPARE(keyboard.notices.told.back(), QString::fromLatin1(selection::KeyboardActions::readOnly.message));
        }
        QCOMPARE(test::elementText(focusedText(m_qtWindow)), std::optional<QString>(text));
        QCOMPARE(m_requests, asked);
        verifyStillInFront(m_qtWindow);
    }

    // What a screen reader reads of the strip's and the panel's controls, through AT-SPI from another process.
    void theControlsHaveNamesAScreenReaderReads()
    {
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home shift+End"), QStringLiteral("Meeting notes"));
        const QString language =
            m_strip->findChild<panels::ReplaceButton*>()->languageMenu()->controller()->menuButton()->accessibleName();
        QVERIFY(!language.isEmpty());
        QVERIFY2(announced({"Translate", "Replace", language, "Improve", "Close"}), qPrintable(m_names));
        QVERIFY(press(QStringLiteral("Translate")));
        QTRY_COMPARE_WITH_TIMEOUT(m_panel->view()->textLabel()->text(), QStringLiteral("Notas en-US"), deadlineMs);
        QVERIFY2(announced({"Close", m_panel->view()->languageButton()->text(), "Notas en-US"}), qPrintable(m_names));
        m_poller->translatePanel()->close();
        QTRY_VERIFY_WITH_TIMEOUT(!m_panel->isVisible(), deadlineMs);
    }

    // A combination another client holds is told once, with where to change it; the others are held (also
    // after a change of keyboard layout), and let go while paused and once nobody is signed in (no handler).
    void shortcutsHeldElsewhereAreToldAndOursGoWhenPaused()
    {
        const std::unique_ptr<Display, int (*)(Display*)> other(XOpenDisplay(nullptr), XCloseDisplay);
        QVERIFY(other != nullptr);
        const KeyCode i = XKeysymToKeycode(other.get(), XK_i);
        XGrabKey(other.get(), i, ControlMask | Mod1Mask, DefaultRootWindow(other.get()), False, GrabModeAsync,
                 GrabModeAsync);
        XSync(other.get(), False);
        Keyboard keyboard(*m_preferences, *m_poller);
        keyboard.shortcuts.reload();
        QCOMPARE(keyboard.notices.told.size(), 1);
        QVERIFY(keyboard.notices.told[0].startsWith(QStringLiteral("Ctrl+Alt+I (Improve) is already used")));
        QVERIFY(keyboard.notices.told[0].contains(QStringLiteral("Keyboard Shortcuts...")));
        QVERIFY(!freeForOthers(other.get(), XK_e) && !freeForOthers(other.get(), XK_r));
        // Dvorak gives E another key code: the grab follows it, and comes back.
        for (const char* layout : {"dvorak", "us"}) {
            QVERIFY(QProcess::execute(QStringLiteral("setxkbmap"), {QString::fromLatin1(layout)}) == 0);
            QTRY_VERIFY_WITH_TIMEOUT(!freeForOthers(other.get(), XK_e), deadlineMs);
        }

        keyboard.control.pause();
        QVERIFY(freeForOthers(other.get(), XK_e) && freeForOthers(other.get(), XK_r));
        keyboard.control.resume();
        QVERIFY(!freeForOthers(other.get(), XK_e));
        keyboard.shortcuts.setHandler({});
        QVERIFY(freeForOthers(other.get(), XK_e) && freeForOthers(other.get(), XK_r));
        QCOMPARE(keyboard.notices.told.size(), 1);
    }

    void xlibErrorsAreCaughtByTheWriteBack()
    {
        static int previousCalls = 0;
        const XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return ++previousCalls; });
        Display* display = XOpenDisplay(nullptr);
        QVERIFY(display != nullptr);
        {
            platform::X11ErrorTrap trap(display);
            XMapWindow(display, 0x1fffffff);
            QVERIFY(trap.sync().value_or("").starts_with("BadWindow"));
        }
        QCOMPARE(previousCalls, 0);
        XMapWindow(display, 0x1fffffff);
        XSync(display, False);
        QCOMPARE(previousCalls, 1);
        XCloseDisplay(display);
        XSetErrorHandler(previous);
    }
};

QTEST_MAIN(WriteBackDesktopTest)
#include "WriteBackDesktopTest.moc"
