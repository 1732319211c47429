// The selection watcher against slow real applications, one started once by each suite (in a private
// desktop of its own): gnome-text-editor (GTK 4), Firefox ESR and GNOME Web on a local page, LibreOffice Writer and
// Calc.

#include "e2e/DesktopTestSupport.h"

#include <QDir>

#include <unistd.h>

namespace parlomatic {
namespace {

using namespace std::chrono_literals;
using Decision = selection::PollStep::Decision;
using namespace test;

class RealApplicationTest : public DesktopSuite {
protected:
    // Starts the suite's `app` with an empty configuration folder of its own.
    static void startOnce(const QString& program, const QStringList& arguments, const QStringList& search = {})
    {
        if (!inDesktopSession()) {
            return;
        }
        const QString configuration = qEnvironmentVariable("PARLOMATIC_SESSION_DIR") + '/' + program;
        QDir().mkpath(configuration);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configuration);
        app = Peer::start(program, arguments, environment, 90s, search);
        peers = {&app};
        backend = test::accessibilityLayer();
    }
    void SetUp() override
    {
        DesktopSuite::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) {
            app.activate();
        }
    }
    selection::PollStep stepUntil(const std::function<bool(const selection::PollStep&)>& condition, const char* what)
    {
        return DesktopSuite::stepUntil(condition, what, 30s);
    }

    static inline Peer app;
};

class GtkFourEditorTest : public RealApplicationTest {
protected:
    static void SetUpTestSuite()
    {
        startOnce(QStringLiteral("gnome-text-editor"),
                  {QStringLiteral("--standalone"), QStringLiteral("--ignore-session")});
    }
};

// GTK 4.8 gives no range extents: a selection over two lines spans both, the whole width.
TEST_F(GtkFourEditorTest, ReadsTheSelectionAndPlacesTheStripOverIt)
{
    xdotool("type", "--delay", "5", "first line of text");
    xdotool("key", "shift+Home");
    const selection::PollStep step = stepUntil(showing(QStringLiteral("first line of text")), "the first line");
    EXPECT_EQ(step.role, QStringLiteral("AXTextArea"));
    expectOnTheSelection(step, app);
    expectSelectionOverTwoLinesSpansBoth(*poller, 30s);
}

// A page with two paragraphs and a text area at the page's left edge, 100 pixels below its top.
constexpr const char* page = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><title>watcher page</title>
<style>body{margin:0;font:16px sans-serif} p{margin:20px 200px;line-height:20px} textarea{margin:0;width:300px;height:60px}</style>
</head><body><p>Alpha words in the first paragraph.</p><p>Second paragraph follows here.</p>
<textarea>text in the area</textarea></body></html>)";

// A browser showing the page, clicked from its document's top left corner; checks both browsers share.
class PageTest : public RealApplicationTest {
protected:
    // Starts the browser on the page, its window at the screen's left edge (so that the text area is too).
    static void startOnPage(const QString& program, QStringList arguments)
    {
        const QString folder = qEnvironmentVariable("PARLOMATIC_SESSION_DIR");
        if (inDesktopSession() && writeFile(folder + QStringLiteral("/page.html"), page)) {
            startOnce(program, arguments << QStringLiteral("file://") + folder + QStringLiteral("/page.html"));
            if (!app.window.isEmpty()) {
                xdotool("windowmove", "--sync", app.window, "0", "0");
            }
        }
    }

    // Clicks `count` times at a point of the page, from its document's top left corner.
    void click(int x, int y, const char* count = "1") const
    {
        xdotool("mousemove", "--sync", QString::number(qRound(document.x) + x), QString::number(qRound(document.y) + y),
                "click", "--repeat", count, "1");
    }
    void SetUp() override
    {
        RealApplicationTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        // A click on the page's empty lower part takes the focus from the address bar; Tab then gives it to
        // the text area, 100 pixels below the page's top (GNOME Web marks nothing focused after the click),
        // once the page is loaded (before, Tab goes to the window's buttons).
        ASSERT_TRUE(waitUntil([] { return xdotoolOutput("getwindowname", app.window).contains("watcher page"); }, 30s));
        app.click(0.5, 0.8);
        xdotool("key", "Tab");
        std::optional<selection::AxRect> frame;
        stepUntil(
            [&frame](const selection::PollStep& s) {
                frame = s.element ? backend->elementFrame(s.element) : std::nullopt;
                return frame && s.role == QLatin1StringView(selection::axRole::textArea);
            },
            "the text area's focus");
        ASSERT_TRUE(frame);
        frame->y -= 100;
        document = *frame;
    }

    // A double-clicked word of the first paragraph, read only, the strip over it.
    selection::PollStep expectWordRead()
    {
        click(225, 30, "2");
        const selection::PollStep step = stepUntil(showing(QStringLiteral("Alpha")), "the double-clicked word");
        EXPECT_EQ(step.actionType, selection::ActionType::readonly);
        expectOnTheSelection(step, app);
        EXPECT_LT(step.rect->width, 80) << "the word, not the paragraph";
        return step;
    }
    // The text area at the screen's left edge.
    void expectTextAreaRead()
    {
        click(60, 110);
        xdotool("key", "ctrl+a");
        const selection::PollStep area = stepUntil(
            [](const selection::PollStep& s) {
                return showing(QStringLiteral("text in the area"))(s) && s.role == "AXTextArea";
            },
            "the text area's selection in the text area");
        ASSERT_TRUE(area.rect && area.panel);
        EXPECT_LT(area.rect->x + area.rect->width / 2, 100) << "the selection lies at the screen's left edge";
        EXPECT_EQ(area.panel->left(), 0) << "the strip is shifted onto the screen";
    }

    selection::AxRect document;
};

class FirefoxTest : public PageTest {
protected:
    static void SetUpTestSuite()
    {
        const QString folder = qEnvironmentVariable("PARLOMATIC_SESSION_DIR") + QStringLiteral("/firefox");
        // No first-run pages or questions in front of the page.
        if (inDesktopSession() && QDir().mkpath(folder) &&
            writeFile(folder + QStringLiteral("/user.js"), R"(user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
)")) {
            startOnPage(QStringLiteral("firefox-esr"), {QStringLiteral("--no-remote"), QStringLiteral("--new-instance"),
                                                        QStringLiteral("--profile"), folder});
        }
    }
};

TEST_F(FirefoxTest, WordAndTwoParagraphsAreReadFromTheDocumentsChildrenAndATextAreaAtTheEdge)
{
    const selection::PollStep step = expectWordRead();
    xdotool("keydown", "shift");
    click(300, 68);
    xdotool("keyup", "shift");
    // Firefox may announce the selection before the second paragraph's extents follow.
    const double wordHeight = step.rect->height;
    stepUntil(
        [wordHeight](const selection::PollStep& s) {
            return s.decision != Decision::hide &&
                   s.text.startsWith(QStringLiteral("Alpha words in the first paragraph.\nSecond")) && s.rect &&
                   s.rect->height > 1.5 * wordHeight;
        },
        "two paragraphs under one rectangle");
    expectTextAreaRead();
}

// GNOME Web (WebKitGTK): the page hangs in the web process below a node with no state; after a click
// on page text nothing is focused there, only the paragraph holds the selection.
class WebTest : public PageTest {
protected:
    static void SetUpTestSuite()
    {
        startOnPage(QStringLiteral("epiphany-browser"), {QStringLiteral("--private-instance")});
    }
};

TEST_F(WebTest, WordInThePageAndATextAreaAtTheEdgeAreRead)
{
    expectWordRead();
    expectTextAreaRead();
}

class WriterTest : public RealApplicationTest {
protected:
    static void SetUpTestSuite()
    {
        const QString profile = qEnvironmentVariable("PARLOMATIC_SESSION_DIR") + QStringLiteral("/writer");
        startOnce(QStringLiteral("libreoffice"),
                  {QStringLiteral("--writer"), QStringLiteral("--norestore"), QStringLiteral("--nologo"),
                   QStringLiteral("-env:UserInstallation=file://") + profile},
                  {QStringLiteral("--name"), QStringLiteral("Untitled")});
    }

    // Its coordinates are right, and typing reaches it, only once the document was clicked and focused.
    void clickIntoTheDocument()
    {
        app.click(0.5, 1.0 / 3);
        stepUntil(
            [](const selection::PollStep& s) {
                return s.element && backend->elementRole(s.element) == QLatin1StringView(selection::axRole::textArea);
            },
            "the document's focus");
    }
};

// Writer in front with a word selected before the watcher starts announces no focus: found at once.
TEST_F(WriterTest, WatcherStartedAfterTheSelectionSeesItFromItsFirstStep)
{
    clickIntoTheDocument();
    xdotool("type", "--delay", "5", "Seen from a fresh start");
    xdotool("key", "shift+ctrl+Left");
    stepUntil(showing(QStringLiteral("start")), "the selected word");

    const std::vector<nlohmann::json> steps = inspect(PARLOMATIC_INSPECT, {QStringLiteral("--count"), "15"});
    ASSERT_EQ(steps.size(), 15U);
    const nlohmann::json& first = steps.front();
    EXPECT_EQ(first["decision"], "show") << first.dump();
    EXPECT_EQ(first["textLength"], 5);
    EXPECT_EQ(first["role"], "AXTextArea");
    ASSERT_TRUE(first["rect"].is_array());
    const auto at = [&first](int i) { return first["rect"][i].get<double>(); };
    const selection::AxRect rect{.x = at(0), .y = at(1), .width = at(2), .height = at(3)};
    const std::optional<selection::AxRect> window = windowGeometry(app.window);
    ASSERT_TRUE(window);
    EXPECT_TRUE(inside(rect, *window)) << first.dump();
    EXPECT_GT(rect.width, 0);
}

// Over two paragraphs, and over two whole ones selected downwards (the caret then at the start of
// the third, which holds none of the selection): read whole, the strip over them; over more than are
// in view: not taken in part.
TEST_F(WriterTest, SelectionOverTwoParagraphsIsReadWholeOverMoreThanAreInViewNotInPart)
{
    clickIntoTheDocument();
    xdotool("key", "ctrl+a");
    typeLines({"First paragraph of the letter.", "Second paragraph goes here.", "The caret's paragraph."});
    xdotool("key", "ctrl+Home", "shift+End");
    const selection::PollStep first =
        stepUntil(showing(QStringLiteral("First paragraph of the letter.")), "the first paragraph");
    expectOnTheSelection(first, app);
    xdotool("key", "shift+Down", "shift+End");
    const selection::PollStep both = stepUntil(
        [&first](const selection::PollStep& s) {
            return showing(QStringLiteral("First paragraph of the letter.\nSecond paragraph goes here."))(s) &&
                   s.rect && s.rect->height > 1.5 * first.rect->height;
        },
        "both paragraphs");
    expectOnTheSelection(both, app);
    xdotool("key", "ctrl+Home");
    stepUntil([](const selection::PollStep& s) { return s.decision == Decision::hide; }, "no selection");
    xdotool("key", "shift+Down", "shift+Down");
    expectOnTheSelection(
        stepUntil(showing(QStringLiteral("First paragraph of the letter.\nSecond paragraph goes here.")),
                  "the two whole paragraphs"),
        app);

    // Writer publishes only the paragraphs in view: Replace would write what was read over all seventy.
    xdotool("key", "ctrl+a");
    for (int i = 0; i < 70; ++i) {
        xdotool("type", "--delay", "2", QStringLiteral("Line %1.").arg(i));
        xdotool("key", "Return");
    }
    xdotool("key", "ctrl+Home", "shift+Down", "shift+Down");
    stepUntil(showing(QStringLiteral("Line 0.\nLine 1.")), "the first two paragraphs");
    xdotool("key", "ctrl+a");
    stepUntil(
        [](const selection::PollStep& s) {
            return s.decision == selection::PollStep::Decision::hide && s.text.isEmpty();
        },
        "the strip hidden");
}

class CalcTest : public RealApplicationTest {
protected:
    static void SetUpTestSuite()
    {
        const QString profile = qEnvironmentVariable("PARLOMATIC_SESSION_DIR") + QStringLiteral("/calc");
        startOnce(QStringLiteral("libreoffice"),
                  {QStringLiteral("--calc"), QStringLiteral("--norestore"), QStringLiteral("--nologo"),
                   QStringLiteral("-env:UserInstallation=file://") + profile},
                  {QStringLiteral("--name"), QStringLiteral("Untitled")});
    }

    // A click into the sheet; typing reaches it once the sheet says it has the focus.
    void clickIntoTheSheet(double down)
    {
        app.click(0.5, down);
        stepUntil(
            [](const selection::PollStep& s) { return s.role == QLatin1StringView(selection::axRole::textField); },
            "the sheet's focus");
    }

    // Seconds of CPU the process has used.
    static double cpuSeconds(qint64 pid)
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) {
            return 0;
        }
        // The fields after the command's closing parenthesis; utime and stime are the 12th and 13th.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(::sysconf(_SC_CLK_TCK));
    }
};

// A selected cell is a focused table cell with the whole cell's text and no text selection: no strip.
// Watched for 10 s (by the poller and by the inspector, each finding the focus anew) the sheet stays
// idle and takes a keystroke at once.
TEST_F(CalcTest, SheetWatchedForTenSecondsStaysResponsiveAndAPlainCellShowsNothing)
{
    clickIntoTheSheet(0.4);
    xdotool("type", "--delay", "5", "hello world");
    xdotool("key", "Return", "Up");
    const qint64 soffice = app.windowPid();
    const double cpuBefore = cpuSeconds(soffice);
    const auto started = std::chrono::steady_clock::now();
    int steps = 0;
    waitUntil(
        [&] {
            const selection::PollStep step = poller->checkSelectedText();
            ++steps;
            EXPECT_FALSE(stripUp(step)) << "a strip over a selected cell";
            return std::chrono::steady_clock::now() - started >= 8s;
        },
        15s, 200ms);
    for (const nlohmann::json& step : inspect(PARLOMATIC_INSPECT, {QStringLiteral("--count"), "10"})) {
        EXPECT_EQ(step["decision"], "hide") << step.dump();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(steps, 20);
    EXPECT_LT((cpuSeconds(soffice) - cpuBefore) / seconds, 0.25) << "share of a core LibreOffice used";

    // A keystroke starts editing the cell: its text object announces the focus within a second.
    const auto typed = std::chrono::steady_clock::now();
    xdotool("type", "q");
    DesktopSuite::stepUntil(
        [](const selection::PollStep& s) { return s.element && elementText(s.element) == QStringLiteral("q"); },
        "the keystroke in the cell", 5s);
    EXPECT_LT(std::chrono::steady_clock::now() - typed, 1s) << "the keystroke took long to reach the sheet";
    xdotool("key", "Escape");
}

// Typing into a cell opens its editor, an ordinary editable text; F2 there lets the arrow keys move
// within it instead of leaving the cell.
TEST_F(CalcTest, WordSelectedInACellBeingEditedGetsTheStrip)
{
    clickIntoTheSheet(0.5);
    // Calc drops clicks and keys for a moment after a click: typed again until a cell's editor
    // holds them (whichever cell it is).
    const QString typed = QStringLiteral("alpha beta");
    ASSERT_TRUE(waitUntil(
        [&] {
            xdotool("key", "Escape");
            xdotool("type", "--delay", "5", typed);
            return waitUntil(
                [&] {
                    const selection::PollStep s = poller->checkSelectedText();
                    return s.role == QLatin1StringView(selection::axRole::textArea) && elementText(s.element) == typed;
                },
                2s, 200ms);
        },
        15s))
        << "the cell's editor never held the text";
    xdotool("key", "F2", "shift+ctrl+Left");
    const selection::PollStep step = stepUntil(showing(QStringLiteral("beta")), "the word selected in the cell");
    EXPECT_EQ(step.actionType, selection::ActionType::write);
    ASSERT_TRUE(step.rect && step.panel);
    const std::optional<selection::AxRect> window = windowGeometry(app.window);
    ASSERT_TRUE(window);
    EXPECT_TRUE(inside(*step.rect, *window));
    EXPECT_LT(step.rect->width, 100) << "the word, not the cell";
    // On the word's upper edge, over it (shifted onto the screen when the cell is the first).
    EXPECT_EQ(step.panel->bottom() + 1, qRound(step.rect->y));
    EXPECT_LE(step.panel->left(), step.rect->x + step.rect->width / 2);
    EXPECT_GE(step.panel->right(), step.rect->x + step.rect->width / 2);
    xdotool("key", "Escape");
}

} // namespace
} // namespace parlomatic
