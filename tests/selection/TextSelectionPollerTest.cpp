#include "selection/TextSelectionPoller.h"
#include "fakes/FakeAccessibility.h"
#include "fakes/FakeClock.h"
#include "selection/ActionState.h"
#include "selection/HeadlessActionsPanel.h"
#include "selection/PanelPlacement.h"
#include "selection/PollStepJson.h"
#include "selection/WatchControl.h"
#include "service/Preferences.h"
#include "support/DebugLogCapture.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QTemporaryDir>
#include <QtCore/qtestsupport_core.h>

#include <array>
#include <span>
#include <string>
#include <vector>

namespace parlomatic::selection {
namespace {

constexpr Pid appPid = 4242;
const AxRect selectionRect{.x = 100, .y = 300, .width = 80, .height = 20};
const ScreenArea fullHd{
    .geometry = QRect(0, 0, 1920, 1080), .workArea = QRect(0, 0, 1920, 1080), .devicePixelRatio = 1};
// A 2560x1440 screen at ratio 2 right of it, with a 30-pixel top bar.
const ScreenArea hiDpiRight{
    .geometry = QRect(1920, 0, 1280, 720), .workArea = QRect(1920, 30, 1280, 690), .devicePixelRatio = 2};

class FakeTranslatePanel final : public TranslatePanel {
public:
    bool isOpen() const override { return open; }
    void close() override
    {
        open = false;
        ++closes;
    }
    void setInputText(const std::optional<QString>&) override {}
    void setActionClose(std::function<void()>) override {}
    QSize idealSize() const override { return {}; }
    void setFrame(const QRect&) override {}
    void orderFront() override { open = true; }
    bool open = false;
    int closes = 0;
};

class PollerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        focused = backend.addApplication(appPid, QStringLiteral("mousepad"));
        backend.setFront(appPid);
        select(QStringLiteral("hello world"), QStringLiteral("AXTextArea"));
        poller = std::make_unique<TextSelectionPoller>(
            backend,
            [this](TextSelectionPoller&) {
                auto made = std::make_unique<HeadlessActionsPanel>(QSize(200, 40));
                panel = made.get();
                return made;
            },
            &clock);
        poller->setScreens([this] { return screens; });
        auto translate = std::make_unique<FakeTranslatePanel>();
        translatePanel = translate.get();
        poller->setTranslatePanel(std::move(translate));
    }

    void select(std::optional<QString> text, std::optional<QString> role, std::optional<AxRect> rect = selectionRect)
    {
        focused->selectedText = std::move(text);
        focused->role = std::move(role);
        focused->markerBounds = rect;
    }
    PollStep::Decision tick() { return poller->checkSelectedText().decision; }

    FakeClock clock{1'800'000'000.0};
    FakeAccessibility backend;
    std::shared_ptr<FakeElement> focused;
    std::unique_ptr<TextSelectionPoller> poller;
    HeadlessActionsPanel* panel = nullptr;
    FakeTranslatePanel* translatePanel = nullptr;
    std::vector<ScreenArea> screens{fullHd};
    test::LogCapture logs;
    test::DebugLogCapture debugLogs;
    const QString area = QStringLiteral("AXTextArea");
};

using D = PollStep::Decision;

struct DecisionCase {
    const char* name;
    const char* text; // null: the read fails
    const char* role; // null: none
    std::optional<AxRect> markerRect;
    std::optional<AxRect> rangeRect;
    D expected;
    std::optional<ActionType> type;
};

class PollerDecisionTest : public PollerTest, public ::testing::WithParamInterface<DecisionCase> {};

// The roles of real widgets, read-only text among them: SelectionDesktopTest.QtWidgetsGiveTheirRoles.
TEST_P(PollerDecisionTest, FromAHiddenPanelWithBothPanelsOpenBefore)
{
    const DecisionCase& c = GetParam();
    const auto text = [](const char* t) { return t ? std::optional(QString::fromUtf8(t)) : std::nullopt; };
    select(text(c.text), text(c.role), c.markerRect);
    focused->rangeBounds = c.rangeRect;
    translatePanel->open = true;

    const PollStep step = poller->checkSelectedText();
    EXPECT_EQ(step.decision, c.expected);
    EXPECT_EQ(step.actionType, c.type);
    const bool shown = c.expected == D::show;
    EXPECT_EQ(panel->isOpen(), shown);
    EXPECT_EQ(translatePanel->isOpen(), shown) << "the translation panel closes exactly when the step hides";
    if (c.type) {
        EXPECT_EQ(poller->actionState().type(), *c.type);
    }
    // Told once on the debug channel, with its reason and without the text.
    const std::vector<std::string> told = debugLogs.lines();
    ASSERT_EQ(told.size(), 1U);
    const std::string start = "parlomatic.poller: " + std::string(decisionName(c.expected)) + ": ";
    EXPECT_TRUE(told[0].starts_with(start) && told[0].size() > start.size() + 10) << told[0];
    if (c.text != nullptr && std::string_view(c.text).size() >= 5) {
        debugLogs.expectNoLineContains({c.text});
    }
}

constexpr auto write = ActionType::write;
const AxRect sel = selectionRect;

INSTANTIATE_TEST_SUITE_P(
    Table, PollerDecisionTest,
    ::testing::Values(DecisionCase{"RangeFallback", "hello", "AXTextArea", {}, sel, D::show, write},
                      DecisionCase{"NoRectangle", "hello", "AXTextArea", {}, {}, D::hide, {}},
                      DecisionCase{"NoRole", "hello", nullptr, sel, {}, D::hide, {}},
                      DecisionCase{"OneCharacter", " a \n", "AXTextArea", sel, {}, D::hide, {}},
                      DecisionCase{"OneGraphemeOfTwoCodePoints", "e\u0301", "AXTextArea", sel, {}, D::hide, {}},
                      DecisionCase{"TwoCharacters", "\tab\n", "AXTextArea", sel, {}, D::show, write},
                      DecisionCase{"WhitespaceOnly", " \n\t\u2028 ", "AXTextArea", sel, {}, D::hide, {}},
                      DecisionCase{"TextReadFailed", nullptr, "AXTextArea", sel, {}, D::hide, {}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(PollerTest, NoFrontProcessLeavesThePanelsNoFocusClosesThemAndEachIsLoggedOnce)
{
    const Pid otherPid = 5151;
    backend.addApplication(otherPid);
    backend.setFocused(otherPid, nullptr);
    const auto front = [&](std::optional<Pid> pid, int steps) {
        backend.setFront(pid);
        for (int i = 0; i < steps; ++i) {
            tick();
        }
    };
    translatePanel->open = true;
    ASSERT_EQ(tick(), D::show);
    front(std::nullopt, 3);
    EXPECT_EQ(tick(), D::unchanged) << "no front process leaves the panels as they are";
    EXPECT_TRUE(panel->isOpen());
    EXPECT_TRUE(translatePanel->isOpen());
    front(otherPid, 3); // no focused element there
    EXPECT_FALSE(panel->isOpen());
    EXPECT_EQ(panel->closeCount, 1) << "closed panels are not closed again";
    EXPECT_EQ(translatePanel->closes, 1);
    front(std::nullopt, 2);
    front(appPid, 2);
    front(std::nullopt, 2);
    EXPECT_EQ(logs.lines(),
              (std::vector<std::string>{"no pid found", "No focused element! 5151", "no pid found", "no pid found"}))
        << "logged again when the situation begins again, after any other step";
}

TEST_F(PollerTest, OpenPanelIsMovedAndTheCloseActionPausesUntilTheSelectionChanges)
{
    ASSERT_EQ(tick(), D::show);
    focused->markerBounds = AxRect{.x = 400, .y = 500, .width = 60, .height = 20};
    EXPECT_EQ(tick(), D::move);
    EXPECT_EQ(panel->frame(), QRect(330, 460, 200, 40));
    poller->actionState().triggerClose();
    EXPECT_EQ(poller->pausedSelectedText(), QStringLiteral("hello world"));

    EXPECT_EQ(tick(), D::paused);
    focused->markerBounds = selectionRect;
    EXPECT_EQ(tick(), D::paused);
    EXPECT_FALSE(panel->isOpen());
    EXPECT_EQ(panel->frame(), QRect(40, 260, 200, 40)) << "a paused panel is still moved, only not shown";
    EXPECT_EQ(panel->showCount, 1) << "an open panel is moved, not shown again";

    // Steps that end early keep the pause.
    focused->markerBounds.reset();
    EXPECT_EQ(tick(), D::hide);
    focused->markerBounds = selectionRect;
    backend.setFront(std::nullopt);
    tick();
    backend.setFront(appPid);
    EXPECT_EQ(tick(), D::paused);

    // A one-character selection reaches the trim and clears the pause.
    select(QStringLiteral("h"), area);
    EXPECT_EQ(tick(), D::hide);
    EXPECT_TRUE(poller->pausedSelectedText().isEmpty());
    select(QStringLiteral("hello world"), area);
    EXPECT_EQ(tick(), D::show);
}

TEST_F(PollerTest, PressRunsTheCallbackOfTheLatestStep)
{
    std::vector<QString> translated;
    std::vector<std::pair<QString, service::Language>> replaced;
    poller->setSelectionActions(SelectionActions{
        .translate = [&](TextSelectionPoller&, const SelectionSnapshot& s) { translated.push_back(*s.selectedText); },
        .replace = [&](TextSelectionPoller&, const SelectionSnapshot& s,
                       service::Language language) { replaced.emplace_back(s.trimmedText, language); },
        .improve = {},
        .installTranslateClose = {},
    });
    select(QStringLiteral(" first "), area);
    tick();
    select(QStringLiteral(" second "), area);
    tick();
    poller->actionState().triggerTranslate();
    poller->actionState().triggerReplace(service::Language::pt_BR);
    EXPECT_EQ(translated, std::vector<QString>{QStringLiteral(" second ")});
    EXPECT_EQ(replaced, (std::vector<std::pair<QString, service::Language>>{
                            {QStringLiteral("second"), service::Language::pt_BR}}));
}

// Once per front process change (SelectionDesktopTest), not after a tick without one; the ancestor read only for Word.
TEST_F(PollerTest, ExtraReadsPerFrontProcess)
{
    tick();
    backend.setFront(std::nullopt);
    tick();
    backend.setFront(appPid);
    tick();
    EXPECT_EQ(backend.enhancedPasses, 1);
    EXPECT_EQ(backend.ancestorReads, 0);

    const Pid wordPid = 6000;
    *backend.addApplication(wordPid, QStringLiteral("com.microsoft.Word")) = *focused;
    backend.setFront(wordPid);
    tick();
    EXPECT_EQ(backend.enhancedPasses, 2);
    EXPECT_EQ(backend.ancestorReads, 1);
}

TEST_F(PollerTest, PasswordFieldsAndTooLongSelectionsHideWithoutTheirTextRead)
{
    select(QStringLiteral("secret"), QStringLiteral("AXSecureTextField"));
    const PollStep secure = poller->checkSelectedText();
    EXPECT_EQ(secure.decision, D::hide);
    EXPECT_TRUE(secure.secure);
    EXPECT_EQ(focused->textReads, 0);

    select(QStringLiteral("hello world"), area);
    ASSERT_EQ(tick(), D::show);
    focused->length = SelectionReader::maxSelectionLength + 1;
    const PollStep step = poller->checkSelectedText();
    EXPECT_EQ(step.decision, D::hide);
    EXPECT_TRUE(step.selectionTooLong);
    EXPECT_EQ(focused->textReads, 1) << "only the first step read the text";
    focused->length = SelectionReader::maxSelectionLength;
    EXPECT_EQ(tick(), D::show);
}

struct PlacementCase {
    const char* name;
    AxRect rect;
    std::optional<AxRect> frame;
    std::span<const ScreenArea> screens; // none: no screen
    std::optional<QRect> expected;
};

class PollerPlacementTest : public PollerTest, public ::testing::WithParamInterface<PlacementCase> {};

// Above a selection (SelectionDesktopTest) and shifted right at the screen's left edge (RealApplicationsTest).
TEST_P(PollerPlacementTest, PlacesAboveTheSelectionOnItsScreen)
{
    const PlacementCase& c = GetParam();
    screens.assign(c.screens.begin(), c.screens.end());
    focused->markerBounds = c.rect;
    focused->frame = c.frame;
    panel->setFrame(QRect(1, 2, 3, 4));
    const PollStep step = poller->checkSelectedText();
    EXPECT_EQ(step.decision, D::show);
    EXPECT_EQ(step.panel, c.expected);
    EXPECT_EQ(panel->frame(), c.expected.value_or(QRect(1, 2, 3, 4)));
    EXPECT_EQ(backend.elementFrameReads, isDegenerate(c.rect) ? 1 : 0);
}

const std::array<ScreenArea, 2> twoScreens{fullHd, hiDpiRight};

INSTANTIATE_TEST_SUITE_P(
    Formulas, PollerPlacementTest,
    ::testing::Values(
        // Scaled by the ratio of its own screen, about that screen's unscaled origin.
        PlacementCase{"SecondScreenHiDpi", {2320, 300, 80, 20}, {}, twoScreens, QRect(2040, 110, 200, 40)},
        PlacementCase{
            "ThinButNotDegenerate", {300, 300, 0, 0.02}, {AxRect{5, 6, 7, 8}}, twoScreens, QRect(200, 260, 200, 40)},
        PlacementCase{"TopLineFlipsBelow", {500, 10, 100, 20}, {}, twoScreens, QRect(450, 30, 200, 40)},
        PlacementCase{"UnderTheTopBarFlipsBelow", {2400, 70, 80, 20}, {}, twoScreens, QRect(2080, 45, 200, 40)},
        PlacementCase{"RightEdgeStaysOnItsScreen", {1900, 300, 20, 20}, {}, twoScreens, QRect(1720, 260, 200, 40)},
        PlacementCase{"DegenerateUsesElementFrame",
                      {100, 300, 0, 0},
                      AxRect{350, 200, 400, 300},
                      twoScreens,
                      QRect(250, 160, 200, 40)},
        PlacementCase{"DegenerateHiDpi",
                      {100, 300, 0.001, 0.005},
                      AxRect{2720, 400, 400, 300},
                      twoScreens,
                      QRect(2220, 160, 200, 40)},
        PlacementCase{"DegenerateWithoutFrameKeepsPosition", {100, 300, 0, 0}, {}, twoScreens, std::nullopt},
        PlacementCase{"NoScreenKeepsPosition", {100, 300, 80, 20}, {}, {}, std::nullopt}),
    [](const auto& param) { return std::string(param.param.name); });

// A toolkit that reports its selection relative to a widget (Konsole) puts it near the screen's
// corner, outside the window: the strip then stands on the element, as over a caret, or is not shown.
// A selection scrolled out of the window is followed.
TEST_F(PollerTest, SelectionOutsideItsWindowStandsOnTheElementOrShowsNothing)
{
    backend.window = AxRect{.x = 600, .y = 300, .width = 800, .height = 600};
    focused->frame = AxRect{.x = 650, .y = 400, .width = 700, .height = 400};
    select(QStringLiteral("hello world"), area, AxRect{.x = 700, .y = 500, .width = 80, .height = 20});
    PollStep step = poller->checkSelectedText();
    EXPECT_EQ(step.misplaced, PollStep::Misplaced::no);
    EXPECT_EQ(step.panel, QRect(640, 460, 200, 40)) << "over the selection inside the window";

    focused->markerBounds = AxRect{.x = 700, .y = 100, .width = 80, .height = 20};
    step = poller->checkSelectedText();
    EXPECT_EQ(step.misplaced, PollStep::Misplaced::no);
    EXPECT_EQ(step.panel, QRect(640, 60, 200, 40)) << "over the selection scrolled above the window";

    focused->markerBounds = AxRect{.x = 10, .y = 4, .width = 80, .height = 20};
    step = poller->checkSelectedText();
    EXPECT_EQ(step.decision, D::move);
    EXPECT_EQ(step.misplaced, PollStep::Misplaced::onElementFrame);
    EXPECT_EQ(step.panel, QRect(550, 360, 200, 40)) << "on the element's upper edge, centred on its left edge";
    EXPECT_EQ(pollStepToJson(step, false, 0).count("misplacedRect"), 1U);

    focused->frame = AxRect{.x = 100, .y = 900, .width = 300, .height = 200};
    step = poller->checkSelectedText();
    EXPECT_EQ(step.decision, D::hide);
    EXPECT_EQ(step.misplaced, PollStep::Misplaced::notShown);
}

TEST_F(PollerTest, AnnouncementsBringAtMostOneStepForwardPer30Ms)
{
    using namespace std::chrono;
    std::vector<steady_clock::time_point> steps;
    QObject::connect(poller.get(), &TextSelectionPoller::stepFinished,
                     [&steps] { steps.push_back(steady_clock::now()); });
    const auto waitForSteps = [&steps](std::size_t count) {
        return QTest::qWaitFor([&] { return steps.size() >= count; });
    };
    backend.announce();
    QCoreApplication::processEvents();
    EXPECT_TRUE(steps.empty()) << "no early step while polling is stopped";

    poller->startPolling();
    EXPECT_FALSE(poller->isPolling()) << "the timer is created by a deferred call, on the event loop";
    QCoreApplication::processEvents();
    for (int i = 0; i < 3; ++i) {
        backend.announce();
    }
    waitForSteps(1);
    QCoreApplication::processEvents();
    EXPECT_EQ(steps.size(), 1U) << "a burst of announcements costs one step";
    backend.announce();
    backend.announce();
    waitForSteps(2);
    ASSERT_EQ(steps.size(), 2U);
    EXPECT_GE(steps[1] - steps[0], milliseconds(TextSelectionPoller::earliestStepMs));
}

// The clock: the pause's end holds across a restart, without waiting for a timer.
TEST_F(PollerTest, PauseEndsAtItsTimeAlsoAfterARestart)
{
    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("Parlomatic.conf")).toStdString();
    service::Preferences before(file);
    WatchControl(before, clock).pause();
    service::Preferences after(file); // the next start
    WatchControl control(after, clock);
    EXPECT_EQ(control.pausedUntil(), clock.now() + WatchControl::pauseSeconds);
    control.govern(*poller, nullptr);
    int frontReads = 0;
    backend.beforeFrontRead = [&frontReads] { ++frontReads; };

    clock.advance(WatchControl::pauseSeconds - 1);
    EXPECT_EQ(tick(), D::unchanged);
    EXPECT_EQ(frontReads, 0);
    clock.advance(2);
    EXPECT_EQ(tick(), D::show);
    EXPECT_FALSE(WatchControl(after, clock).isPaused());
    EXPECT_FALSE(after.stringForKey(WatchControl::pausedUntilKey)) << "an ended pause is forgotten at the start";
}

TEST(TranslatePanelFrame, KeptInTheWorkAreaOfTheSelectionsScreen)
{
    const std::vector<ScreenArea> screens{
        {.geometry = QRect(0, 0, 1920, 1080), .workArea = QRect(0, 30, 1920, 1050), .devicePixelRatio = 1}};
    const QSize size(400, 300);
    EXPECT_EQ(translatePanelFrame({900, 600, 100, 20}, size, screens), QRect(750, 150, 400, 300));
    EXPECT_EQ(translatePanelFrame({900, 100, 100, 20}, size, screens), QRect(750, 120, 400, 300)) << "below";
    EXPECT_EQ(translatePanelFrame({0, 600, 40, 20}, size, screens), QRect(0, 150, 400, 300)) << "shifted right";
    EXPECT_EQ(translatePanelFrame({900, 600, 100, 20}, size, {}), std::nullopt) << "no screen";
}

TEST(ActionStateTest, CallbackMayReplaceItselfWhileRunningOrBeEmpty)
{
    ActionState state;
    int runs = 0;
    state.setActionImprove([&] {
        ++runs;
        state.setActionImprove([&] { runs += 10; });
    });
    state.triggerImprove();
    state.triggerImprove();
    EXPECT_EQ(runs, 11);
    state.setActionImprove({}); // an empty callback does nothing
    state.triggerImprove();
}

TEST(PollStepJson, NullsForWhatTheStepDidNotSeeAndNoTextUnlessAsked)
{
    PollStep step;
    step.pid = 12;
    step.text = QStringLiteral("e\u0301te\u0301 \U0001F44D\U0001F3FD");
    step.rect = AxRect{.x = 1.5, .y = 2, .width = 3, .height = 4};
    step.decision = PollStep::Decision::paused;
    step.actionType = ActionType::readonly;

    const nlohmann::json expected = nlohmann::json::parse(R"({"pid": 12, "app": null, "role": null, "secure": false,
        "textLength": 5, "rect": [1.5, 2.0, 3.0, 4.0], "frame": null, "actionType": "readonly", "decision": "paused",
        "panel": null, "tickMicros": 321})");
    EXPECT_EQ(pollStepToJson(step, false, 321), expected) << "five user-perceived characters, not code units";
    EXPECT_EQ(pollStepToJson(step, true, 0)["text"], step.text.toStdString());
    EXPECT_TRUE(pollStepToJson(PollStep{}, false, 0)["pid"].is_null());
}

} // namespace
} // namespace parlomatic::selection
