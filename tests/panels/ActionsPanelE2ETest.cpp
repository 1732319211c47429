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

#include <memory>
#include <optional>

using namespace parlomatic;

namespace {

constexpr int deadlineMs = 15000;
const QString selection = QStringLiteral("second look");

// Runs a desktop tool to its end and gives its standard output, trimmed; nothing when it fails.
std::optional<QString> run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return std::nullopt;
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

std::optional<QString> xdotool(const QStringList& arguments)
{
    return run(QStringLiteral("xdotool"), arguments);
}

// "X=..", "Y=..", "WIDTH=..", "HEIGHT=.." of a window as the X server has it.
std::optional<QRect> serverGeometry(WId window)
{
    const auto shell =
        xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), QString::number(window)});
    if (!shell) {
        return std::nullopt;
    }
    QMap<QString, int> values;
    for (const QString& line : shell->split(u'\n')) {
        values.insert(line.section(u'=', 0, 0), line.section(u'=', 1).toInt());
    }
    return QRect(values.value(QStringLiteral("X")), values.value(QStringLiteral("Y")),
                 values.value(QStringLiteral("WIDTH")), values.value(QStringLiteral("HEIGHT")));
}

} // namespace

class ActionsPanelE2ETest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QProcess m_mousepad;
    QString m_mousepadWindow;
    std::unique_ptr<Preferences> m_preferences;
    std::unique_ptr<platform::AtspiAccessibility> m_backend;
    std::unique_ptr<TextSelectionPoller> m_poller;
    ActionsWindow* m_window = nullptr;
    int m_translations = 0;
    QList<Language> m_replacements;

    std::optional<Pid> activeWindowPid() const
    {
        const auto pid = xdotool({QStringLiteral("getactivewindow"), QStringLiteral("getwindowpid")});
        return pid ? std::optional<Pid>(static_cast<Pid>(pid->toLongLong())) : std::nullopt;
    }

    // What Mousepad's focused text reports as selected, read afresh.
    std::optional<QString> mousepadSelection() const
    {
        const Element application = m_backend->applicationElement(static_cast<Pid>(m_mousepad.processId()));
        const Element focused = application ? m_backend->focusedElement(application) : Element{};
        return focused ? m_backend->selectedText(focused) : std::nullopt;
    }

    std::optional<AxRect> mousepadSelectionRect() const
    {
        const Element application = m_backend->applicationElement(static_cast<Pid>(m_mousepad.processId()));
        const Element focused = application ? m_backend->focusedElement(application) : Element{};
        if (!focused) {
            return std::nullopt;
        }
        auto rect = m_backend->selectionBoundsFromTextMarkers(focused);
        return rect ? rect : m_backend->selectionBoundsFromRange(focused);
    }

    void click(QWidget* widget) const
    {
        const QPoint centre = widget->mapToGlobal(widget->rect().center());
        QVERIFY(xdotool({QStringLiteral("mousemove"), QString::number(centre.x()), QString::number(centre.y()),
                         QStringLiteral("click"), QStringLiteral("1")}));
    }

    // Mousepad in front with the strip over its selection. The harness's window manager may open a
    // window of its own at start-up, which takes the focus; the poller then rightly hides the strip.
    void bringMousepadForward() const
    {
        QVERIFY(xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), m_mousepadWindow}));
        QTRY_VERIFY_WITH_TIMEOUT(m_window->isOpen() && m_window->isVisible(), deadlineMs);
        QTRY_COMPARE_WITH_TIMEOUT(activeWindowPid(), std::optional<Pid>(static_cast<Pid>(m_mousepad.processId())),
                                  deadlineMs);
        // Clicks are aimed through Qt's idea of where the panel is, which catches up with the
        // window manager's placement only when its notice arrives.
        QTRY_COMPARE_WITH_TIMEOUT(serverGeometry(m_window->winId()), std::optional<QRect>(m_window->geometry()),
                                  deadlineMs);
    }

    // The X input focus, which a window can take without the window manager making it active.
    std::optional<Pid> focusedWindowPid() const
    {
        const auto pid = xdotool({QStringLiteral("getwindowfocus"), QStringLiteral("getwindowpid")});
        return pid ? std::optional<Pid>(static_cast<Pid>(pid->toLongLong())) : std::nullopt;
    }

    void verifyMousepadStillActiveWithItsSelection() const
    {
        QTRY_COMPARE_WITH_TIMEOUT(activeWindowPid(), std::optional<Pid>(static_cast<Pid>(m_mousepad.processId())),
                                  deadlineMs);
        QCOMPARE(focusedWindowPid(), std::optional<Pid>(static_cast<Pid>(m_mousepad.processId())));
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
        const QString pid = QString::number(m_mousepad.processId());
        QTRY_VERIFY_WITH_TIMEOUT(
            !(m_mousepadWindow =
                  xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"), pid})
                      .value_or(QString())
                      .section(u'\n', 0, 0))
                 .isEmpty(),
            deadlineMs);
        QVERIFY(xdotool({QStringLiteral("windowsize"), m_mousepadWindow, QStringLiteral("640"), QStringLiteral("360"),
                         QStringLiteral("windowmove"), m_mousepadWindow, QStringLiteral("200"), QStringLiteral("200"),
                         QStringLiteral("windowactivate"), QStringLiteral("--sync"), m_mousepadWindow}));

        m_backend = std::make_unique<platform::AtspiAccessibility>();
        QVERIFY(m_backend->isAvailable());
        // Select "second look" at the end of the fifth line.
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), QStringLiteral("ctrl+Home"),
                         QStringLiteral("Down"), QStringLiteral("Down"), QStringLiteral("Down"), QStringLiteral("Down"),
                         QStringLiteral("End"), QStringLiteral("Left"), QStringLiteral("shift+ctrl+Left"),
                         QStringLiteral("shift+ctrl+Left")}));
        QTRY_COMPARE_WITH_TIMEOUT(mousepadSelection(), std::optional<QString>(selection), deadlineMs);

        m_preferences = std::make_unique<Preferences>(m_dir.filePath(QStringLiteral("Parlomatic.conf")).toStdString());
        m_poller = std::make_unique<TextSelectionPoller>(*m_backend, [this](TextSelectionPoller& poller) {
            auto window =
                std::make_unique<ActionsWindow>(poller, QStringLiteral("app.parlomatic.Test"), *m_preferences);
            // The harness runs no compositor.
            window->setCompositingActive(false);
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
        if (m_mousepad.state() != QProcess::NotRunning) {
            m_mousepad.terminate();
            if (!m_mousepad.waitForFinished(5000)) {
                m_mousepad.kill();
                m_mousepad.waitForFinished(5000);
            }
        }
    }

    void stripComesUpAboveTheSelection()
    {
        QTRY_VERIFY_WITH_TIMEOUT(m_window->isOpen(), deadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(m_window->isVisible(), deadlineMs);
        const std::optional<AxRect> rect = mousepadSelectionRect();
        QVERIFY(rect);
        std::optional<QRect> panel;
        // The window manager maps the panel where it was asked to, a moment after the request.
        QTRY_VERIFY_WITH_TIMEOUT((panel = serverGeometry(m_window->winId())) &&
                                     panel->size() == m_window->paddedSize() &&
                                     qAbs(panel->top() + panel->height() - rect->y) <= 2,
                                 deadlineMs);
        const double panelCentre = panel->left() + panel->width() / 2.0;
        const double selectionCentre = rect->x + rect->width / 2.0;
        QVERIFY2(
            qAbs(panelCentre - selectionCentre) <= 2,
            qPrintable(QStringLiteral("panel centre %1, selection centre %2").arg(panelCentre).arg(selectionCentre)));
        QCOMPARE(activeWindowPid(), std::optional<Pid>(static_cast<Pid>(m_mousepad.processId())));
    }

    void clickingTranslateLeavesMousepadActive()
    {
        bringMousepadForward();
        ActionButton* translate = nullptr;
        for (auto* button : m_window->findChildren<ActionButton*>()) {
            if (button->text() == QLatin1String("Translate")) {
                translate = button;
            }
        }
        QVERIFY(translate);
        click(translate);
        QTRY_COMPARE_WITH_TIMEOUT(m_translations, 1, deadlineMs);
        verifyMousepadStillActiveWithItsSelection();
        QVERIFY(m_window->isOpen());
    }

    // The picker's menu opens from the non-activating panel; choosing in it replaces at once.
    void choosingALanguageRunsReplaceAndLeavesMousepadActive()
    {
        bringMousepadForward();
        auto* replace = m_window->findChild<ReplaceButton*>();
        QVERIFY(replace);
        LanguageMenuView& picker = *replace->languageMenu()->controller();
        click(picker.menuButton());
        QMenu& menu = *picker.openMenu();
        QTRY_VERIFY_WITH_TIMEOUT(menu.isVisible(), deadlineMs);
        QAction* portuguese = menu.actions().at(1);
        const QPoint item = menu.mapToGlobal(menu.actionGeometry(portuguese).center());
        QVERIFY(xdotool({QStringLiteral("mousemove"), QString::number(item.x()), QString::number(item.y()),
                         QStringLiteral("click"), QStringLiteral("1")}));
        QTRY_COMPARE_WITH_TIMEOUT(m_replacements, (QList<Language>{Language::pt_BR}), deadlineMs);
        QCOMPARE(m_preferences->replaceOutputLanguage(), Language::pt_BR);
        QTRY_VERIFY_WITH_TIMEOUT(!menu.isVisible(), deadlineMs);
        verifyMousepadStillActiveWithItsSelection();
    }

    void clickingCloseHidesTheStripAndLeavesMousepadActive()
    {
        bringMousepadForward();
        click(m_window->view()->closeButton());
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->isOpen(), deadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->isVisible(), deadlineMs);
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
