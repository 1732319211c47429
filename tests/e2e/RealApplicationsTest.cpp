// The selection watcher against slow real applications, one started once by each suite (in a private
// desktop of its own): gnome-text-editor (GTK 4), Firefox ESR on a local page, LibreOffice Writer.

#include "e2e/DesktopTestSupport.h"

#include <QDir>

namespace parlomatic {
namespace {

using namespace std::chrono_literals;
using Decision = PollStep::Decision;
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
        backend = std::make_unique<platform::AtspiAccessibility>();
    }
    void SetUp() override
    {
        DesktopSuite::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) {
            app.activate();
        }
    }
    PollStep stepUntil(const std::function<bool(const PollStep&)>& condition, const char* what)
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
    const PollStep step = stepUntil(showing(QStringLiteral("first line of text")), "the first line");
    EXPECT_EQ(step.role, QStringLiteral("AXTextArea"));
    expectOnTheSelection(step, app);
    expectSelectionOverTwoLinesSpansBoth(*poller, 30s);
}

// A page with two paragraphs and a text area at the page's left edge.
constexpr const char* page = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><title>watcher page</title>
<style>body{margin:0;font:16px sans-serif} p{margin:20px 200px} textarea{margin:0;width:300px;height:60px}</style>
</head><body><p>Alpha words in the first paragraph.</p><p>Second paragraph follows here.</p>
<textarea>text in the area</textarea></body></html>)";

class FirefoxTest : public RealApplicationTest {
protected:
    static void SetUpTestSuite()
    {
        if (!inDesktopSession()) {
            return;
        }
        const QString folder = qEnvironmentVariable("PARLOMATIC_SESSION_DIR");
        QDir().mkpath(folder + QStringLiteral("/firefox"));
        // No first-run pages or questions in front of the page.
        if (!writeFile(folder + QStringLiteral("/firefox/user.js"),
                       R"(user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
)") || !writeFile(folder + QStringLiteral("/page.html"), page)) {
            return;
        }
        startOnce(QStringLiteral("firefox-esr"), {QStringLiteral("--no-remote"), QStringLiteral("--new-instance"),
                                                  QStringLiteral("--profile"), folder + QStringLiteral("/firefox"),
                                                  QStringLiteral("file://") + folder + QStringLiteral("/page.html")});
        if (!app.window.isEmpty()) {
            // At the screen's left edge, so that the text area is too.
            xdotool("windowmove", "--sync", app.window, "0", "0");
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
        // A click on the page's empty lower part takes the focus from the address bar (and the first,
        // blank document goes away without a focus event).
        app.click(0.5, 0.8);
        std::optional<AxRect> frame;
        stepUntil(
            [&frame](const PollStep& s) {
                frame = s.element ? backend->elementFrame(s.element) : std::nullopt;
                return frame && backend->elementRole(s.element) == QStringLiteral("AXWebArea");
            },
            "the page's focus");
        ASSERT_TRUE(frame);
        document = *frame;
    }

    AxRect document;
};

TEST_F(FirefoxTest, WordAndTwoParagraphsAreReadFromTheDocumentsChildrenAndATextAreaAtTheEdge)
{
    click(225, 30, "2");
    const PollStep step = stepUntil(showing(QStringLiteral("Alpha")), "the double-clicked word");
    EXPECT_EQ(step.actionType, ActionType::readonly);
    expectOnTheSelection(step, app);
    EXPECT_LT(step.rect->width, 80) << "the word, not the paragraph";

    xdotool("keydown", "shift");
    click(300, 68);
    xdotool("keyup", "shift");
    // Firefox may announce the selection before the second paragraph's extents follow.
    const double wordHeight = step.rect->height;
    stepUntil(
        [wordHeight](const PollStep& s) {
            return s.decision != Decision::hide &&
                   s.text.startsWith(QStringLiteral("Alpha words in the first paragraph.\nSecond")) && s.rect &&
                   s.rect->height > 1.5 * wordHeight;
        },
        "two paragraphs under one rectangle");

    // The text area at the screen's left edge.
    click(60, 110);
    xdotool("key", "ctrl+a");
    const PollStep area =
        stepUntil([showsText = showing(QStringLiteral("text in the area"))](
                      const PollStep& s) { return showsText(s) && s.role == QStringLiteral("AXTextArea"); },
                  "the text area's selection in the text area");
    ASSERT_TRUE(area.rect && area.panel);
    EXPECT_LT(area.rect->x + area.rect->width / 2, 100) << "the selection lies at the screen's left edge";
    EXPECT_EQ(area.panel->left(), 0) << "the strip is shifted onto the screen";
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
            [](const PollStep& s) {
                return s.element && backend->elementRole(s.element) == QLatin1StringView(axRole::textArea);
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
    const AxRect rect{.x = at(0), .y = at(1), .width = at(2), .height = at(3)};
    const std::optional<AxRect> window = windowGeometry(app.window);
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
    const PollStep first = stepUntil(showing(QStringLiteral("First paragraph of the letter.")), "the first paragraph");
    expectOnTheSelection(first, app);
    xdotool("key", "shift+Down", "shift+End");
    const PollStep both = stepUntil(
        [&first](const PollStep& s) {
            return showing(QStringLiteral("First paragraph of the letter.\nSecond paragraph goes here."))(s) &&
                   s.rect && s.rect->height > 1.5 * first.rect->height;
        },
        "both paragraphs");
    expectOnTheSelection(both, app);
    xdotool("key", "ctrl+Home");
    stepUntil([](const PollStep& s) { return s.decision == Decision::hide; }, "no selection");
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
    stepUntil([](const PollStep& s) { return s.decision == PollStep::Decision::hide && s.text.isEmpty(); },
              "the strip hidden");
}

} // namespace
} // namespace parlomatic
