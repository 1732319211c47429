// Runs inside scripts/desktop-session: the real strip comes up above a selection in Mousepad;
// Translate, Replace (also through its language menu), Improve and Close pressed with the pointer in
// it over Mousepad and the Qt test window, against a loopback HTTPS text service; the text is read
// back through AT-SPI. Prints the latencies it sees (not asserted).

// cpp-httplib before Xlib, whose macros (Success, None) break it; moc cannot parse it at all.
#ifndef Q_MOC_RUN
#include "support/TlsTestServer.h"
#endif

#include "common/Clock.h"
#include "common/CurlHttpClient.h"
#include "e2e/DesktopTestSupport.h"
#include "fakes/FakeSession.h"
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
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/AtspiElement.h"
#include "platform/linux/Cld2LanguageRecognizer.h"
#include "platform/linux/DesktopNotifications.h"
#include "selection/Notices.h"
#include "selection/TextActions.h"
#include "selection/WriteBack.h"
#include "service/Preferences.h"
#include "service/Translator.h"

#include <csignal>
#include <nlohmann/json.hpp>

#include <QClipboard>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <atomic>

// Xlib last: its macros (None, Bool) clash with names in Qt's headers.
#include "platform/linux/X11ErrorTrap.h"
#include "platform/linux/X11KeyPaster.h"

using namespace parlomatic;

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

// The owner of the window that `query` names: "getactivewindow" (the window manager's active window)
// or "getwindowfocus" (the X input focus, which a window can take without becoming active).
qint64 windowPid(const char* query)
{
    return test::xdotoolOutput(query, "getwindowpid").toLongLong();
}

// Notes the first paint of a widget at which `ready` holds, and ends `loop` then.
struct PaintClock : QObject {
    QElapsedTimer& clock;
    std::function<bool()> ready;
    QEventLoop* loop = nullptr;
    qint64 paintedAt = 0;
    PaintClock(QElapsedTimer& elapsed, std::function<bool()> isReady) : clock(elapsed), ready(std::move(isReady)) {}
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && paintedAt == 0 && ready()) {
            paintedAt = clock.elapsed();
            if (loop != nullptr) {
                loop->quit();
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

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
    QElapsedTimer m_clock;
    // When the service last answered and when an action was last pressed, on m_clock.
    std::atomic<qint64> m_answeredAt{0};
    qint64 m_pressedAt = 0;
    std::unique_ptr<Preferences> m_preferences;
    std::unique_ptr<CurlHttpClient> m_http;
    std::unique_ptr<Translator> m_translator;
    platform::Cld2LanguageRecognizer m_recognizer;
    FakeSession m_session;
    std::unique_ptr<platform::AtspiAccessibility> m_backend;
    // The real paster, noting when the keys went out.
    struct TimedPaster final : KeyPaster {
        platform::X11KeyPaster inner;
        std::function<void()> sent;
        bool clipboardOwnerAnswers(std::chrono::milliseconds limit) override
        {
            return inner.clipboardOwnerAnswers(limit);
        }
        std::expected<void, std::string> pasteShortcut() override
        {
            auto result = inner.pasteShortcut();
            sent();
            return result;
        }
    } m_paster;
    qint64 m_pastedAt = 0;
    bool m_textChanged = false;
    platform::GObjectPtr<AtspiEventListener> m_textListener;
    std::unique_ptr<WriteBack> m_writeBack;
    std::unique_ptr<TextActions> m_actions;
    platform::DesktopNotifications m_desktopNotices;
    std::unique_ptr<ThrottledNotices> m_notices;
    std::atomic<bool> m_serviceDown = false;
    std::atomic<int> m_requests = 0;
    std::unique_ptr<TranslateState> m_translateState;
    std::unique_ptr<TextSelectionPoller> m_poller;
    ActionsWindow* m_strip = nullptr;
    TranslateWindow* m_panel = nullptr;

    Element focusedText(const Peer& peer) const
    {
        const Element application = m_backend->applicationElement(peer.pid());
        return application ? m_backend->focusedElement(application) : Element{};
    }

    // Waits until the text is `expected`; when it was first seen so, or nothing. Reads only after
    // the paste keys went out; Mousepad is read without pause (it reads our clipboard without
    // blocking), the Qt window only after it announced a change (until it has our clipboard it
    // answers nothing, and a read would block the event loop that serves it).
    std::optional<qint64> waitForText(const Peer& peer, const QString& expected)
    {
        const auto seen = [&] {
            return m_pastedAt != 0 && (&peer == &m_mousepad || m_textChanged) &&
                   test::elementText(focusedText(peer)) == expected;
        };
        if (&peer == &m_mousepad) {
            while (!seen() && m_clock.elapsed() < m_pressedAt + deadlineMs) {
                QCoreApplication::processEvents();
            }
        }
        return seen() || QTest::qWaitFor(seen, deadlineMs) ? std::optional(m_clock.elapsed()) : std::nullopt;
    }

    // Sends the Qt test window a command and waits for its answer.
    void qtCommand(const QByteArray& command)
    {
        m_qtWindow.process->write(command + '\n');
        QByteArray answer;
        const auto answered = [&] {
            answer += m_qtWindow.process->readAllStandardOutput();
            return answer.contains("ok " + command);
        };
        QVERIFY(QTest::qWaitFor(answered, deadlineMs));
    }

    // Clicks are aimed through Qt's idea of where a window is, which must have reached the server.
    // (Qt's idea is read again at each try: the window may still be moving.)
    static void waitForPlacement(const QWidget* window)
    {
        const auto qtPlacement = [window] {
            const QRect qt = window->geometry();
            return std::optional(AxRect{
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
        QVERIFY(xdotool("windowactivate", "--sync", peer.window));
        QVERIFY(test::elementText(focusedText(peer), text) == text);
        QVERIFY(QProcess::execute(QStringLiteral("xdotool"),
                                  QStringList{QStringLiteral("key"), QStringLiteral("--clearmodifiers")} +
                                      keys.split(u' ')) == 0);
        // A press runs what the last step saw: wait for a step over this selection.
        QString seen;
        const QMetaObject::Connection watch = connect(m_poller.get(), &TextSelectionPoller::stepFinished, this,
                                                      [&](const PollStep& step) { seen = step.text; });
        QTRY_COMPARE_WITH_TIMEOUT(seen, selected, deadlineMs);
        disconnect(watch);
        QTRY_COMPARE_WITH_TIMEOUT(windowPid("getactivewindow"), peer.pid(), deadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(m_strip->isOpen() && m_strip->isVisible(), deadlineMs);
        // On a busy machine the strip may still follow the text's new layout for a step or two: aim
        // at it once it has kept its place over three steps.
        int steady = 0;
        QRect last;
        const QMetaObject::Connection still = connect(m_poller.get(), &TextSelectionPoller::stepFinished, this, [&] {
            steady = m_strip->geometry() == last ? steady + 1 : 0;
            last = m_strip->geometry();
        });
        QTRY_VERIFY_WITH_TIMEOUT(steady >= 3, deadlineMs);
        disconnect(still);
        waitForPlacement(m_strip);
        m_pastedAt = 0;
        m_textChanged = false;
    }

    // Clicks the strip's button. The click reaches our event loop only after this returns, which
    // is when the press is noted.
    bool press(const QString& title)
    {
        const QList<ActionButton*> buttons = m_strip->findChildren<ActionButton*>();
        const auto found = std::ranges::find(buttons, title, &ActionButton::text);
        const auto* replace = m_strip->findChild<ReplaceButton*>();
        const bool clicked = title == QLatin1String("Replace")
                                 ? click(replace, replace->titleRect().center().toPoint())
                                 : found != buttons.end() && click(*found, (*found)->rect().center());
        m_pressedAt = m_clock.elapsed();
        return clicked;
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("PARLOMATIC_DESKTOP_SESSION") != QLatin1String("1")) {
            QSKIP("needs scripts/desktop-session");
        }
        m_clock.start();
        m_paster.sent = [this] { m_pastedAt = m_clock.elapsed(); };
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
            m_answeredAt = m_clock.elapsed();
        });
        QVERIFY(m_server.start());

        const QString notes = m_dir.filePath(QStringLiteral("notes.txt"));
        QVERIFY(test::writeFile(notes, m_sample.toUtf8()));
        m_mousepad = Peer::start(QStringLiteral("mousepad"), {QStringLiteral("--disable-server"), notes});
        m_qtWindow = Peer::start(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {});
        QVERIFY(!m_mousepad.window.isEmpty() && !m_qtWindow.window.isEmpty());
        QVERIFY(xdotool("windowsize", m_mousepad.window, "640", "360", "windowmove", m_mousepad.window, "200", "200",
                        "windowmove", m_qtWindow.window, "300", "250"));

        m_preferences = std::make_unique<Preferences>(m_dir.filePath(QStringLiteral("Parlomatic.conf")).toStdString());
        m_http = std::make_unique<CurlHttpClient>(CurlHttpClient::Options{.extraCaFile = m_server.caFile()});
        m_translator = std::make_unique<Translator>(*m_http, m_server.hostAndPort());
        m_backend = std::make_unique<platform::AtspiAccessibility>();
        QVERIFY(m_backend->isAvailable());
        m_writeBack = std::make_unique<WriteBack>(*m_backend, &m_paster);
        m_actions = std::make_unique<TextActions>(m_session, *m_translator, m_recognizer, *m_preferences, *m_writeBack);
        m_translateState = std::make_unique<TranslateState>(m_session, *m_translator, m_recognizer, *m_preferences);
        m_poller = std::make_unique<TextSelectionPoller>(*m_backend, [this](TextSelectionPoller& poller) {
            auto window =
                std::make_unique<ActionsWindow>(poller, QStringLiteral("app.parlomatic.Test"), *m_preferences);
            window->setCompositingActive(false); // the harness runs no compositor
            m_strip = window.get();
            return window;
        });
        auto panel = std::make_unique<TranslateWindow>(*m_translateState, QStringLiteral("app.parlomatic.Test"));
        panel->setCompositingActive(false);
        m_panel = panel.get();
        m_poller->setTranslatePanel(std::move(panel));
        m_notices = std::make_unique<ThrottledNotices>(m_desktopNotices, systemClock());
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

    // Centred on the selection's upper edge, at the size asked for, and Mousepad stays in front.
    void stripComesUpAboveTheSelection()
    {
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home Down shift+End"),
               QStringLiteral("The quarterly report is due next week."));
        const Element text = focusedText(m_mousepad);
        std::optional<AxRect> rect = m_backend->selectionBoundsFromTextMarkers(text);
        rect = rect ? rect : m_backend->selectionBoundsFromRange(text);
        QVERIFY(rect);
        const QRect strip = m_strip->geometry();
        QCOMPARE(strip.size(), m_strip->paddedSize());
        QVERIFY2(qAbs(strip.top() + strip.height() - rect->y) <= 2, qPrintable(QString::number(rect->y)));
        const double offCentre = (strip.left() + strip.width() / 2.0) - (rect->x + rect->width / 2.0);
        QVERIFY2(qAbs(offCentre) <= 2, qPrintable(QStringLiteral("%1 pixels off centre").arg(offCentre)));
        verifyStillInFront(m_mousepad);
    }

    void writesTheAnswerOverTheSelection_data()
    {
        QTest::addColumn<bool>("inMousepad");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("expected");
        QString replaced = m_sample;
        replaced.replace(QStringLiteral("Meeting notes"), QStringLiteral("Notas en-US"));
        // Five times, for the figure's median.
        for (int run = 1; run <= 5; ++run) {
            QTest::addRow("Mousepad Replace %d", run) << true << m_sample << "ctrl+Home shift+End"
                                                      << "Meeting notes"
                                                      << "Replace" << replaced;
        }
        QString improved = m_sample;
        improved.replace(QStringLiteral("next week."), QStringLiteral("next week. (improved)"));
        const QString line = QStringLiteral("Notes of the day");
        QTest::newRow("Mousepad Improve") << true << m_sample << "ctrl+Home Down shift+End"
                                          << "The quarterly report is due next week."
                                          << "Improve" << improved;
        QTest::newRow("Qt line Replace") << false << line << "ctrl+a" << line << "Replace"
                                         << "Notas en-US";
        QTest::newRow("Qt line Improve") << false << line << "ctrl+a" << line << "Improve" << line + " (improved)";
    }

    // Exactly the service's answer replaces the selection, nothing else changes, the application
    // keeps the keyboard focus, and the clipboard holds again what the user had put there.
    void writesTheAnswerOverTheSelection()
    {
        QFETCH(bool, inMousepad);
        QFETCH(QString, text);
        QFETCH(QString, keys);
        QFETCH(QString, selected);
        QFETCH(QString, button);
        QFETCH(QString, expected);
        const Peer& peer = inMousepad ? m_mousepad : m_qtWindow;
        if (!inMousepad) {
            qtCommand("focus line");
        }
        const QString usersClipboard = QStringLiteral("the user's own words, ") + QTest::currentDataTag();
        QGuiApplication::clipboard()->setText(usersClipboard);
        select(peer, text, keys, selected);
        QVERIFY(press(button));
        const std::optional<qint64> replacedAt = waitForText(peer, expected);
        QVERIFY2(replacedAt, qPrintable(test::elementText(focusedText(peer)).value_or(QStringLiteral("<unreadable>"))));
        verifyStillInFront(peer);
        QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::clipboard()->text(), usersClipboard, deadlineMs);
        qInfo("figure: %s press to text replaced: %lld ms (keys sent after %lld ms, service answered after %lld ms)",
              QTest::currentDataTag(), *replacedAt - m_pressedAt, m_pastedAt - m_pressedAt,
              m_answeredAt.load() - m_pressedAt);
    }

    // Another application's clipboard, text and an image, is offered again after an Improve; one
    // whose owner has stopped is left alone and holds the Improve up for no more than a moment.
    void anotherApplicationsClipboardComesBack()
    {
        const auto copyInQtWindow = [this] {
            qtCommand("copy two formats");
            QTRY_VERIFY_WITH_TIMEOUT(!QGuiApplication::clipboard()->ownsClipboard(), deadlineMs);
        };
        QString improved = m_sample;
        improved.replace(QStringLiteral("Meeting notes"), QStringLiteral("Meeting notes (improved)"));
        copyInQtWindow();
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home shift+End"), QStringLiteral("Meeting notes"));
        QVERIFY(press(QStringLiteral("Improve")));
        QVERIFY(waitForText(m_mousepad, improved));
        QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::clipboard()->text(), QStringLiteral("copied in the Qt window"),
                                  deadlineMs);
        QCOMPARE(QGuiApplication::clipboard()->mimeData()->data(QStringLiteral("image/png")),
                 QByteArray("\x89PNG not really", 16));

        copyInQtWindow();
        ::kill(static_cast<pid_t>(m_qtWindow.pid()), SIGSTOP);
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home shift+End"), QStringLiteral("Meeting notes"));
        QVERIFY(press(QStringLiteral("Improve")));
        const std::optional<qint64> replacedAt = waitForText(m_mousepad, improved);
        ::kill(static_cast<pid_t>(m_qtWindow.pid()), SIGCONT);
        QVERIFY(replacedAt);
        qInfo("figure: press to text replaced with a stopped clipboard owner: %lld ms (service answered after %lld ms)",
              *replacedAt - m_pressedAt, m_answeredAt.load() - m_pressedAt);
    }

    // The picker's menu opens from the non-activating strip; choosing in it replaces at once, into
    // that language, which is kept.
    void choosingALanguageReplacesIntoIt()
    {
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home shift+End"), QStringLiteral("Meeting notes"));
        LanguageMenuView& picker = *m_strip->findChild<ReplaceButton*>()->languageMenu()->controller();
        QVERIFY(click(picker.menuButton(), picker.menuButton()->rect().center()));
        QMenu& menu = *picker.openMenu();
        QTRY_VERIFY_WITH_TIMEOUT(menu.isVisible(), deadlineMs);
        QVERIFY(click(&menu, menu.actionGeometry(menu.actions().at(1)).center()));
        m_pressedAt = m_clock.elapsed();
        QString replaced = m_sample;
        replaced.replace(QStringLiteral("Meeting notes"), QStringLiteral("Notas pt-BR"));
        QVERIFY(waitForText(m_mousepad, replaced));
        QCOMPARE(m_preferences->replaceOutputLanguage(), Language::pt_BR);
        QTRY_VERIFY_WITH_TIMEOUT(!menu.isVisible(), deadlineMs);
        verifyStillInFront(m_mousepad);
    }

    // Close hides the strip, leaves Mousepad in front with its selection, and the dismissed selection
    // stays dismissed over the next steps.
    void closeHidesTheStripForThisSelection()
    {
        const QString line = QStringLiteral("The quarterly report is due next week.");
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home Down shift+End"), line);
        QVERIFY(click(m_strip->view()->closeButton(), m_strip->view()->closeButton()->rect().center()));
        QTRY_VERIFY_WITH_TIMEOUT(!m_strip->isOpen() && !m_strip->isVisible(), deadlineMs);
        verifyStillInFront(m_mousepad);
        QCOMPARE(m_backend->selectedText(focusedText(m_mousepad)), std::optional<QString>(line));
        int pausedSteps = 0;
        const QMetaObject::Connection watch =
            connect(m_poller.get(), &TextSelectionPoller::stepFinished, this,
                    [&](const PollStep& step) { pausedSteps += step.decision == PollStep::Decision::paused ? 1 : 0; });
        QTRY_VERIFY_WITH_TIMEOUT(pausedSteps >= 3, deadlineMs);
        disconnect(watch);
        QVERIFY(!m_strip->isOpen());
    }

    void translateOpensThePanelWithTheTranslation()
    {
        select(m_mousepad, m_sample, QStringLiteral("ctrl+Home shift+End"), QStringLiteral("Meeting notes"));
        PaintClock panelShown(m_clock, [] { return true; });
        QLabel* label = m_panel->view()->textLabel();
        PaintClock answerShown(m_clock, [label] { return label->text() == QLatin1String("Notas en-US"); });
        m_panel->installEventFilter(&panelShown);
        label->installEventFilter(&answerShown);
        qint64 answerAppliedAt = 0;
        connect(m_translateState.get(), &TranslateState::targetTextChanged, this,
                [&] { answerAppliedAt = m_clock.elapsed(); });
        // An event loop that idles like the application's own, unlike a polling wait, which would
        // delay the paints it measures.
        QEventLoop loop;
        answerShown.loop = &loop;
        QTimer::singleShot(deadlineMs, &loop, &QEventLoop::quit);
        QVERIFY(press(QStringLiteral("Translate")));
        loop.exec();
        QVERIFY(m_panel->isOpen() && m_panel->isVisible());
        QVERIFY(answerShown.paintedAt != 0 && panelShown.paintedAt != 0);
        qInfo("figure: Translate press to panel painted: %lld ms; answer sent by the service to answer painted: %lld "
              "ms, of which from the answer reaching the panel's state: %lld ms",
              panelShown.paintedAt - m_pressedAt, answerShown.paintedAt - m_answeredAt.load(),
              answerShown.paintedAt - answerAppliedAt);
        QVERIFY(m_panel->geometry().bottom() < m_strip->geometry().bottom());

        waitForPlacement(m_panel);
        const CloseButton* close = m_panel->view()->closeButton();
        QVERIFY(click(close, close->rect().center()));
        QTRY_VERIFY_WITH_TIMEOUT(!m_panel->isOpen() && !m_panel->isVisible(), deadlineMs);
    }

    // The text service failing (503): Replace writes nothing and the user is told through the desktop's
    // notifications, in plain words and without their text (once in 30 s: ThrottledNoticesTest).
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
        const int before = m_requests;
        QVERIFY(press(QStringLiteral("Replace")));
        QTRY_VERIFY_WITH_TIMEOUT(m_requests > before && m_poller->isPolling(), deadlineMs);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.bodies.size(), 1, deadlineMs);
        m_serviceDown = false;
        bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        QCOMPARE(recorder.bodies.value(0), QString::fromLatin1(TextActions::serviceRefused.message));
        QCOMPARE(test::elementText(focusedText(m_mousepad)), std::optional<QString>(m_sample));
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
