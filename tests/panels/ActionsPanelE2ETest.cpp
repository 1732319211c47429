// Runs inside scripts/desktop-session: the real poller over the real accessibility layer puts the
// actions panel above a selection in Mousepad, and clicking the panel leaves Mousepad active with its
// selection intact.

#include "panels/ActionButton.h"
#include "panels/ActionsView.h"
#include "panels/ActionsWindow.h"
#include "panels/CloseButton.h"
#include "panels/LanguageMenu.h"
#include "panels/LanguageMenuView.h"
#include "panels/MenuButton.h"
#include "panels/ReplaceButton.h"
#include "platform/linux/AtspiAccessibility.h"
#include "selection/TextSelectionPoller.h"
#include "service/Preferences.h"

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <optional>

using namespace parlomatic;

namespace {

constexpr int deadlineMs = 15000;
const QString selection = QStringLiteral("second look");

// xdotool's standard output, trimmed; nothing when it fails.
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

bool click(const QWidget* widget)
{
    return clickAt(widget->mapToGlobal(widget->rect().center()));
}

// The owner of the window that `query` names: "getactivewindow" (the window manager's active window)
// or "getwindowfocus" (the X input focus, which a window can take without becoming active).
std::optional<Pid> windowPid(const char* query)
{
    const auto pid = xdotool(query, "getwindowpid");
    return pid ? std::optional<Pid>(static_cast<Pid>(pid->toLongLong())) : std::nullopt;
}

std::optional<QRect> serverGeometry(WId window)
{
    const auto shell = xdotool("getwindowgeometry", "--shell", QString::number(window));
    if (!shell) {
        return std::nullopt;
    }
    QMap<QString, int> values;
    for (const QString& line : shell->split(u'\n')) {
        values.insert(line.section(u'=', 0, 0), line.section(u'=', 1).toInt());
    }
    return QRect(values.value("X"), values.value("Y"), values.value("WIDTH"), values.value("HEIGHT"));
}

} // namespace

class ActionsPanelE2ETest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_mousepad;
    std::optional<Pid> m_mousepadPid;
    QString m_mousepadWindow;
    std::unique_ptr<Preferences> m_preferences;
    std::unique_ptr<platform::AtspiAccessibility> m_backend;
    std::unique_ptr<TextSelectionPoller> m_poller;
    ActionsWindow* m_window = nullptr;
    int m_translations = 0;
    QList<Language> m_replacements;

    Element mousepadText() const
    {
        const Element application = m_backend->applicationElement(*m_mousepadPid);
        return application ? m_backend->focusedElement(application) : Element{};
    }

    std::optional<QString> mousepadSelection() const
    {
        const Element text = mousepadText();
        return text ? m_backend->selectedText(text) : std::nullopt;
    }

    // The harness's window manager may open a window of its own at start-up, which takes the focus;
    // the poller then rightly hides the strip.
    void bringMousepadForward() const
    {
        QVERIFY(xdotool("windowactivate", "--sync", m_mousepadWindow));
        QTRY_VERIFY_WITH_TIMEOUT(m_window->isOpen() && m_window->isVisible(), deadlineMs);
        QTRY_COMPARE_WITH_TIMEOUT(windowPid("getactivewindow"), m_mousepadPid, deadlineMs);
        // Clicks are aimed through Qt's idea of where the panel is, which catches up with the
        // window manager's placement only when its notice arrives.
        QTRY_COMPARE_WITH_TIMEOUT(serverGeometry(m_window->winId()), std::optional<QRect>(m_window->geometry()),
                                  deadlineMs);
    }

    void verifyMousepadStillActiveWithItsSelection() const
    {
        QTRY_COMPARE_WITH_TIMEOUT(windowPid("getactivewindow"), m_mousepadPid, deadlineMs);
        QCOMPARE(windowPid("getwindowfocus"), m_mousepadPid);
        QTRY_COMPARE_WITH_TIMEOUT(mousepadSelection(), std::optional<QString>(selection), deadlineMs);
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("PARLOMATIC_DESKTOP_SESSION") != QLatin1String("1")) {
            QSKIP("needs scripts/desktop-session");
        }
        const QString sample = m_dir.filePath(QStringLiteral("notes.txt"));
        QFile file(sample);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("Meeting notes\n\n1. Budget\nThe quarterly report is due next week, and the figures\n"
                   "from the regional offices still need a second look.\nPlease send your comments.\n");
        file.close();

        m_mousepad.start(QStringLiteral("mousepad"), {QStringLiteral("--disable-server"), sample});
        QVERIFY(m_mousepad.waitForStarted());
        m_mousepadPid = static_cast<Pid>(m_mousepad.processId());
        QTRY_VERIFY_WITH_TIMEOUT(
            !(m_mousepadWindow = xdotool("search", "--onlyvisible", "--pid", QString::number(*m_mousepadPid))
                                     .value_or(QString())
                                     .section(u'\n', 0, 0))
                 .isEmpty(),
            deadlineMs);
        QVERIFY(xdotool("windowsize", m_mousepadWindow, "640", "360", "windowmove", m_mousepadWindow, "200", "200",
                        "windowactivate", "--sync", m_mousepadWindow));

        m_backend = std::make_unique<platform::AtspiAccessibility>();
        QVERIFY(m_backend->isAvailable());
        // "second look" at the end of the fifth line.
        QVERIFY(xdotool("key", "--clearmodifiers", "ctrl+Home", "Down", "Down", "Down", "Down", "End", "Left",
                        "shift+ctrl+Left", "shift+ctrl+Left"));
        QTRY_COMPARE_WITH_TIMEOUT(mousepadSelection(), std::optional<QString>(selection), deadlineMs);

        m_preferences = std::make_unique<Preferences>(m_dir.filePath(QStringLiteral("Parlomatic.conf")).toStdString());
        m_poller = std::make_unique<TextSelectionPoller>(*m_backend, [this](TextSelectionPoller& poller) {
            auto window =
                std::make_unique<ActionsWindow>(poller, QStringLiteral("app.parlomatic.Test"), *m_preferences);
            window->setCompositingActive(false); // the harness runs no compositor
            m_window = window.get();
            return window;
        });
        SelectionActions actions;
        actions.translate = [this](TextSelectionPoller&, const SelectionSnapshot&) { ++m_translations; };
        actions.replace = [this](TextSelectionPoller&, const SelectionSnapshot&, Language language) {
            m_replacements.append(language);
        };
        m_poller->setSelectionActions(std::move(actions));
        m_poller->startPolling();
    }

    void cleanupTestCase()
    {
        m_poller.reset();
        m_mousepad.terminate();
        if (!m_mousepad.waitForFinished(5000)) {
            m_mousepad.kill();
            m_mousepad.waitForFinished(5000);
        }
    }

    void stripComesUpAboveTheSelection()
    {
        QTRY_VERIFY_WITH_TIMEOUT(m_window->isOpen() && m_window->isVisible(), deadlineMs);
        const Element text = mousepadText();
        QVERIFY(text);
        std::optional<AxRect> rect = m_backend->selectionBoundsFromTextMarkers(text);
        rect = rect ? rect : m_backend->selectionBoundsFromRange(text);
        QVERIFY(rect);
        std::optional<QRect> panel;
        // The window manager maps the panel where it was asked to, a moment after the request.
        QTRY_VERIFY_WITH_TIMEOUT((panel = serverGeometry(m_window->winId())) &&
                                     panel->size() == m_window->paddedSize() &&
                                     qAbs(panel->top() + panel->height() - rect->y) <= 2,
                                 deadlineMs);
        const double offCentre = (panel->left() + panel->width() / 2.0) - (rect->x + rect->width / 2.0);
        QVERIFY2(qAbs(offCentre) <= 2, qPrintable(QStringLiteral("%1 pixels off centre").arg(offCentre)));
        QCOMPARE(windowPid("getactivewindow"), m_mousepadPid);
    }

    void clickingTranslateLeavesMousepadActive()
    {
        bringMousepadForward();
        const QList<ActionButton*> buttons = m_window->findChildren<ActionButton*>();
        const auto translate = std::ranges::find(buttons, QStringLiteral("Translate"), &ActionButton::text);
        QVERIFY(translate != buttons.end() && click(*translate));
        QTRY_COMPARE_WITH_TIMEOUT(m_translations, 1, deadlineMs);
        verifyMousepadStillActiveWithItsSelection();
        QVERIFY(m_window->isOpen());
    }

    // The picker's menu opens from the non-activating panel; choosing in it replaces at once.
    void choosingALanguageRunsReplaceAndLeavesMousepadActive()
    {
        bringMousepadForward();
        LanguageMenuView& picker = *m_window->findChild<ReplaceButton*>()->languageMenu()->controller();
        QVERIFY(click(picker.menuButton()));
        QMenu& menu = *picker.openMenu();
        QTRY_VERIFY_WITH_TIMEOUT(menu.isVisible(), deadlineMs);
        QVERIFY(clickAt(menu.mapToGlobal(menu.actionGeometry(menu.actions().at(1)).center())));
        QTRY_COMPARE_WITH_TIMEOUT(m_replacements, (QList<Language>{Language::pt_BR}), deadlineMs);
        QCOMPARE(m_preferences->replaceOutputLanguage(), Language::pt_BR);
        QTRY_VERIFY_WITH_TIMEOUT(!menu.isVisible(), deadlineMs);
        verifyMousepadStillActiveWithItsSelection();
    }

    void clickingCloseHidesTheStripAndLeavesMousepadActive()
    {
        bringMousepadForward();
        QVERIFY(click(m_window->view()->closeButton()));
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->isOpen() && !m_window->isVisible(), deadlineMs);
        verifyMousepadStillActiveWithItsSelection();
        // The dismissed selection stays dismissed over the next steps.
        int pausedSteps = 0;
        connect(m_poller.get(), &TextSelectionPoller::stepFinished, this,
                [&](const PollStep& step) { pausedSteps += step.decision == PollStep::Decision::paused ? 1 : 0; });
        QTRY_VERIFY_WITH_TIMEOUT(pausedSteps >= 3, deadlineMs);
        QVERIFY(!m_window->isOpen());
    }
};

QTEST_MAIN(ActionsPanelE2ETest)
#include "ActionsPanelE2ETest.moc"
