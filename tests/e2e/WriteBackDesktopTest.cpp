// Runs inside scripts/desktop-session: the whole Translate, Replace and Improve path against real
// applications (Mousepad and the Qt test window) and a loopback HTTPS text service. The buttons of
// the real strip are pressed with the pointer; the text is read back through AT-SPI. Prints the
// latencies it sees (press to text replaced, press to panel on screen, answer to answer shown).

// cpp-httplib before Xlib, whose macros (Success, None) break it; moc cannot parse it at all.
#ifndef Q_MOC_RUN
#include "support/TlsTestServer.h"
#endif

#include "common/CurlHttpClient.h"
#include "fakes/FakeSession.h"
#include "panels/ActionButton.h"
#include "panels/ActionsWindow.h"
#include "panels/CloseButton.h"
#include "panels/ReplaceButton.h"
#include "panels/TranslateState.h"
#include "panels/TranslateView.h"
#include "panels/TranslateWindow.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/AtspiElement.h"
#include "platform/linux/Cld2LanguageRecognizer.h"
#include "selection/TextActions.h"
#include "selection/WriteBack.h"
#include "service/Preferences.h"
#include "service/Translator.h"

#include <nlohmann/json.hpp>

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>

// Xlib last: its macros (None, Bool) clash with names in Qt's headers.
#include "platform/linux/X11ErrorTrap.h"
#include "platform/linux/X11KeyPaster.h"

using namespace parlomatic;

namespace {

constexpr int deadlineMs = 15000;
const QString sample = QStringLiteral("Meeting notes\nThe quarterly report is due next week.\nPlease send comments.\n");

template <typename... Words> std::optional<QString> xdotool(const Words&... words)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), QStringList{QString(words)...});
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return std::nullopt;
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

bool clickAt(QPoint point)
{
    return xdotool("mousemove", QString::number(point.x()), QString::number(point.y()), "click", "1").has_value();
}

std::optional<Pid> windowPid(const char* query)
{
    const auto pid = xdotool(query, "getwindowpid");
    return pid ? std::optional<Pid>(static_cast<Pid>(pid->toLongLong())) : std::nullopt;
}

// The whole text of an element, read through AT-SPI.
std::optional<QString> fullText(const Element& element)
{
    AtspiAccessible* accessible = platform::atspiOf(element);
    if (accessible == nullptr) {
        return std::nullopt;
    }
    AtspiText* text = atspi_accessible_get_text_iface(accessible);
    if (text == nullptr) {
        return std::nullopt;
    }
    GError* error = nullptr;
    gchar* value = atspi_text_get_text(text, 0, -1, &error);
    g_object_unref(text);
    if (error != nullptr) {
        g_error_free(error);
        return std::nullopt;
    }
    QString result = QString::fromUtf8(value);
    g_free(value);
    return result;
}

// Replaces the whole text of an element through AT-SPI.
bool setFullText(const Element& element, const QString& value)
{
    AtspiAccessible* accessible = platform::atspiOf(element);
    AtspiEditableText* editable =
        accessible != nullptr ? atspi_accessible_get_editable_text_iface(accessible) : nullptr;
    if (editable == nullptr) {
        return false;
    }
    GError* error = nullptr;
    const bool done = atspi_editable_text_set_text_contents(editable, value.toUtf8().constData(), &error);
    g_object_unref(editable);
    if (error != nullptr) {
        g_error_free(error);
        return false;
    }
    return done;
}

double median(QList<double> values)
{
    std::ranges::sort(values);
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

} // namespace

class WriteBackDesktopTest : public QObject {
    Q_OBJECT

    struct Peer {
        std::unique_ptr<QProcess> process;
        Pid pid = 0;
        QString window;
    };

    QTemporaryDir m_dir;
    Peer m_mousepad;
    Peer m_qtWindow;
    test::TlsTestServer m_server;
    std::atomic<int> m_requests{0};
    // Monotonic milliseconds (QElapsedTimer's clock) at which the service answered last.
    std::atomic<qint64> m_answeredAt{0};
    QElapsedTimer m_clock;
    std::unique_ptr<Preferences> m_preferences;
    std::unique_ptr<CurlHttpClient> m_http;
    std::unique_ptr<Translator> m_translator;
    platform::Cld2LanguageRecognizer m_recognizer;
    FakeSession m_session;
    std::unique_ptr<platform::AtspiAccessibility> m_backend;
    platform::X11KeyPaster m_paster;
    std::unique_ptr<WriteBack> m_writeBack;
    std::unique_ptr<TextActions> m_actions;
    std::unique_ptr<TranslateState> m_translateState;
    std::unique_ptr<TextSelectionPoller> m_poller;
    ActionsWindow* m_strip = nullptr;
    TranslateWindow* m_panel = nullptr;
    // When the last action was pressed (m_clock milliseconds).
    qint64 m_pressedAt = 0;

    Peer startPeer(const QString& program, const QStringList& arguments)
    {
        Peer peer;
        peer.process = std::make_unique<QProcess>();
        peer.process->start(program, arguments);
        if (!peer.process->waitForStarted()) {
            return peer;
        }
        peer.pid = static_cast<Pid>(peer.process->processId());
        (void)QTest::qWaitFor(
            [&] {
                peer.window = xdotool("search", "--onlyvisible", "--pid", QString::number(peer.pid))
                                  .value_or(QString())
                                  .section(u'\n', 0, 0);
                return !peer.window.isEmpty();
            },
            deadlineMs);
        return peer;
    }

    Element focusedText(const Peer& peer) const
    {
        const Element application = m_backend->applicationElement(peer.pid);
        return application ? m_backend->focusedElement(application) : Element{};
    }

    // Activates the peer and waits for the strip over its (already made) selection.
    void waitForStripOver(const Peer& peer)
    {
        QVERIFY(xdotool("windowactivate", "--sync", peer.window));
        QTRY_COMPARE_WITH_TIMEOUT(windowPid("getactivewindow"), std::optional<Pid>(peer.pid), deadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(m_strip->isOpen() && m_strip->isVisible(), deadlineMs);
        // Clicks are aimed through Qt's idea of where the strip is, which must have reached the server.
        QTRY_VERIFY_WITH_TIMEOUT(xdotool("getwindowgeometry", "--shell", QString::number(m_strip->winId()))
                                     .value_or(QString())
                                     .contains(QStringLiteral("X=%1\n").arg(m_strip->x())),
                                 deadlineMs);
    }

    // Waits until the element's whole text is `expected`, reading as often as it can while our own
    // event loop keeps serving the clipboard; the time it was first seen, or nothing.
    std::optional<qint64> waitForText(const Peer& peer, const QString& expected)
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < deadlineMs) {
            QCoreApplication::processEvents();
            if (fullText(focusedText(peer)) == expected) {
                return m_clock.elapsed();
            }
        }
        qWarning() << "text now:" << fullText(focusedText(peer)).value_or(QStringLiteral("<none>"));
        return std::nullopt;
    }

    void verifyStillActiveAndFocused(const Peer& peer) const
    {
        QCOMPARE(windowPid("getactivewindow"), std::optional<Pid>(peer.pid));
        QCOMPARE(windowPid("getwindowfocus"), std::optional<Pid>(peer.pid));
    }

    ActionButton* actionButton(const QString& title) const
    {
        const QList<ActionButton*> buttons = m_strip->findChildren<ActionButton*>();
        const auto found = std::ranges::find(buttons, title, &ActionButton::text);
        return found == buttons.end() ? nullptr : *found;
    }

    // Selects the first line of Mousepad's text, "Meeting notes", with the keyboard.
    void selectFirstMousepadLine()
    {
        QVERIFY(xdotool("windowactivate", "--sync", m_mousepad.window));
        QVERIFY(xdotool("key", "--clearmodifiers", "ctrl+Home", "shift+End"));
    }

    void setText(const Peer& peer, const QString& text)
    {
        QVERIFY(xdotool("windowactivate", "--sync", peer.window));
        QVERIFY(setFullText(focusedText(peer), text));
        QVERIFY(waitForText(peer, text));
    }
    void setMousepadText(const QString& text) { setText(m_mousepad, text); }

    // One Replace in Mousepad; the press-to-replaced time, not counting the service's own.
    std::optional<double> replaceFirstLineOnce(const QString& before, const QString& answer)
    {
        setMousepadText(before);
        selectFirstMousepadLine();
        waitForStripOver(m_mousepad);
        const int requests = m_requests.load();
        const auto* replace = m_strip->findChild<ReplaceButton*>();
        if (!clickAt(replace->mapToGlobal(replace->titleRect().center().toPoint()))) {
            return std::nullopt;
        }
        QString expected = before;
        expected.replace(before.section(u'\n', 0, 0), answer);
        const std::optional<qint64> seen = waitForText(m_mousepad, expected);
        if (!seen || m_requests.load() != requests + 1) {
            return std::nullopt;
        }
        return static_cast<double>(*seen - m_pressedAt);
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("PARLOMATIC_DESKTOP_SESSION") != QLatin1String("1")) {
            QSKIP("needs scripts/desktop-session");
        }
        m_clock.start();
        // The service answers at once: "<first word of q> <target>" for a translation, the text
        // with "improved" added for an improvement.
        const auto answer = [this](const httplib::Request& request, httplib::Response& response) {
            const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
            const std::string q = body.is_object() ? body.value("q", "") : "";
            nlohmann::json reply;
            if (request.path == "/v1/improve") {
                reply = {{"data", {{"improvements", {{{"improvedText", q + " (improved)"}}}}}}};
            } else {
                reply = {{"data", {{"translations", {{{"translatedText", "Notas " + body.value("target", "")}}}}}}};
            }
            response.set_content(reply.dump(), "application/json");
            ++m_requests;
            m_answeredAt = m_clock.elapsed();
        };
        m_server.server().Post(".*", answer);
        QVERIFY(m_server.start());

        const QString file = m_dir.filePath(QStringLiteral("notes.txt"));
        QFile notes(file);
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.write(sample.toUtf8());
        notes.close();
        m_mousepad = startPeer(QStringLiteral("mousepad"), {QStringLiteral("--disable-server"), file});
        QVERIFY(!m_mousepad.window.isEmpty());
        QVERIFY(xdotool("windowsize", m_mousepad.window, "640", "360", "windowmove", m_mousepad.window, "200", "200"));
        m_qtWindow = startPeer(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {});
        QVERIFY(!m_qtWindow.window.isEmpty());
        QVERIFY(xdotool("windowmove", m_qtWindow.window, "300", "250"));

        m_preferences = std::make_unique<Preferences>(m_dir.filePath(QStringLiteral("Parlomatic.conf")).toStdString());
        CurlHttpClient::Options options;
        options.extraCaFile = m_server.caFile();
        m_http = std::make_unique<CurlHttpClient>(options);
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
        m_panel = panel.get();
        m_poller->setTranslatePanel(std::move(panel));
        // The real actions, with the moment of each press noted for the figures.
        SelectionActions actions = m_actions->selectionActions();
        for (auto* action : {&actions.translate, &actions.improve}) {
            *action = [this, inner = *action](TextSelectionPoller& poller, const SelectionSnapshot& selection) {
                m_pressedAt = m_clock.elapsed();
                inner(poller, selection);
            };
        }
        actions.replace = [this, inner = actions.replace](TextSelectionPoller& poller,
                                                          const SelectionSnapshot& selection, Language target) {
            m_pressedAt = m_clock.elapsed();
            inner(poller, selection, target);
        };
        m_poller->setSelectionActions(std::move(actions));
        m_poller->startPolling();
    }

    void cleanupTestCase()
    {
        m_poller.reset();
        QThreadPool::globalInstance()->waitForDone();
        for (Peer* peer : {&m_mousepad, &m_qtWindow}) {
            if (peer->process) {
                peer->process->terminate();
                if (!peer->process->waitForFinished(5000)) {
                    peer->process->kill();
                    peer->process->waitForFinished(5000);
                }
            }
        }
    }

    void replaceWritesTheTranslationIntoMousepad()
    {
        QList<double> figures;
        for (int i = 0; i < 5; ++i) {
            const std::optional<double> ms = replaceFirstLineOnce(sample, QStringLiteral("Notas en-US"));
            QVERIFY2(ms, "Mousepad's text did not become the service's answer");
            figures.append(*ms);
        }
        verifyStillActiveAndFocused(m_mousepad);
        QStringList runs;
        for (const double ms : figures) {
            runs.append(QString::number(ms));
        }
        qInfo("figure: Replace press to text replaced in Mousepad: median %.1f ms (runs: %s ms)", median(figures),
              qPrintable(runs.join(u' ')));
    }

    void improveWritesTheImprovementIntoMousepad()
    {
        setMousepadText(sample);
        QVERIFY(xdotool("key", "--clearmodifiers", "ctrl+Home", "Down", "shift+End"));
        waitForStripOver(m_mousepad);
        ActionButton* improve = actionButton(QStringLiteral("Improve"));
        QVERIFY(improve != nullptr && clickAt(improve->mapToGlobal(improve->rect().center())));
        QString expected = sample;
        expected.replace(QStringLiteral("next week."), QStringLiteral("next week. (improved)"));
        QVERIFY(waitForText(m_mousepad, expected));
        verifyStillActiveAndFocused(m_mousepad);
    }

    void replaceWritesTheTranslationIntoTheQtWindow()
    {
        m_qtWindow.process->write("focus line\n");
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += m_qtWindow.process->readAllStandardOutput()).contains("ok focus line"),
                                 deadlineMs);
        setText(m_qtWindow, QStringLiteral("Notes of the day"));
        QVERIFY(xdotool("key", "--clearmodifiers", "ctrl+a"));
        waitForStripOver(m_qtWindow);
        const auto* replace = m_strip->findChild<ReplaceButton*>();
        QVERIFY(clickAt(replace->mapToGlobal(replace->titleRect().center().toPoint())));
        QVERIFY(waitForText(m_qtWindow, QStringLiteral("Notas en-US")));
        verifyStillActiveAndFocused(m_qtWindow);
    }

    void translateOpensThePanelWithTheTranslation()
    {
        setMousepadText(sample);
        selectFirstMousepadLine();
        waitForStripOver(m_mousepad);
        qint64 shownAt = 0;
        qint64 answerPaintedAt = 0;
        struct PaintWatch : QObject {
            std::function<void()> painted;
            bool eventFilter(QObject* watched, QEvent* event) override
            {
                if (event->type() == QEvent::Paint) {
                    painted();
                }
                return QObject::eventFilter(watched, event);
            }
        };
        PaintWatch panelPaint;
        panelPaint.painted = [&] { shownAt = shownAt != 0 ? shownAt : m_clock.elapsed(); };
        PaintWatch labelPaint;
        QLabel* label = m_panel->view()->textLabel();
        labelPaint.painted = [&] {
            if (label->text() != TranslateState::loadingText && answerPaintedAt == 0) {
                answerPaintedAt = m_clock.elapsed();
            }
        };
        m_panel->installEventFilter(&panelPaint);
        label->installEventFilter(&labelPaint);

        ActionButton* translate = actionButton(QStringLiteral("Translate"));
        QVERIFY(translate != nullptr && clickAt(translate->mapToGlobal(translate->rect().center())));
        QTRY_VERIFY_WITH_TIMEOUT(m_panel->isOpen() && m_panel->isVisible(), deadlineMs);
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Notas en-US"), deadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(answerPaintedAt != 0 && shownAt != 0, deadlineMs);
        m_panel->removeEventFilter(&panelPaint);
        label->removeEventFilter(&labelPaint);
        qInfo("figure: Translate press to panel painted: %lld ms; answer to answer painted: %lld ms",
              shownAt - m_pressedAt, answerPaintedAt - m_answeredAt.load());
        // Centred over the selection, half a panel height above it.
        QVERIFY(m_panel->geometry().bottom() < m_strip->geometry().bottom());

        QVERIFY(clickAt(m_panel->view()->closeButton()->mapToGlobal(m_panel->view()->closeButton()->rect().center())));
        QTRY_VERIFY_WITH_TIMEOUT(!m_panel->isOpen() && !m_panel->isVisible(), deadlineMs);
    }

    // A failing request of the write-back's own connection is reported to it, not to the handler
    // that was installed before.
    void xlibErrorsAreCaughtByTheWriteBack()
    {
        static int previousCalls = 0;
        const XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return ++previousCalls; });
        Display* display = XOpenDisplay(nullptr);
        QVERIFY(display != nullptr);
        {
            platform::X11ErrorTrap trap(display);
            XMapWindow(display, 0x1fffffff);
            const std::optional<std::string> error = trap.sync();
            QVERIFY(error && error->starts_with("BadWindow"));
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
