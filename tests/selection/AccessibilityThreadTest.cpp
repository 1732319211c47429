#include "selection/AccessibilityThread.h"
#include "fakes/FakeAccessibility.h"
#include "selection/HeadlessActionsPanel.h"
#include "selection/TextSelectionPoller.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QtCore/qtestsupport_core.h>

#include <chrono>
#include <thread>

namespace parlomatic::selection {
namespace {

using namespace std::chrono_literals;
constexpr Pid appPid = 4242;

// The real thread with a fake layer made on it: one front application with a selection.
class AccessibilityThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        thread = std::make_unique<AccessibilityThread>([this] {
            auto layer = std::make_unique<FakeAccessibility>();
            auto focused = layer->addApplication(appPid);
            focused->selectedText = QStringLiteral("hello world");
            focused->role = QStringLiteral("AXTextArea");
            focused->markerBounds = AxRect{.x = 100, .y = 300, .width = 80, .height = 20};
            layer->setFront(appPid);
            layer->beforeFrontRead = [this] {
                readThread = std::this_thread::get_id();
                ++frontReads;
                while (held) { // an application that stops answering until the test lets it go on
                    std::this_thread::sleep_for(1ms);
                }
            };
            return layer;
        });
        poller = std::make_unique<TextSelectionPoller>(*thread, [this](TextSelectionPoller&) {
            auto strip = std::make_unique<HeadlessActionsPanel>(QSize(200, 40));
            panel = strip.get();
            return strip;
        });
        poller->setScreens([] {
            return std::vector<ScreenArea>{
                {.geometry = QRect(0, 0, 1920, 1080), .workArea = QRect(0, 0, 1920, 1080), .devicePixelRatio = 1}};
        });
        QObject::connect(poller.get(), &TextSelectionPoller::stepFinished, [this](const PollStep& step) {
            steps.push_back(step.decision);
            finishedOnGuiThread = finishedOnGuiThread && std::this_thread::get_id() == guiThread;
        });
    }
    void TearDown() override
    {
        held = false;
        poller.reset();
        thread.reset();
    }

    std::atomic<bool> held = false;
    std::atomic<int> frontReads = 0;
    std::atomic<std::thread::id> readThread;
    const std::thread::id guiThread = std::this_thread::get_id();
    bool finishedOnGuiThread = true;
    std::vector<PollStep::Decision> steps;
    std::unique_ptr<AccessibilityThread> thread;
    std::unique_ptr<TextSelectionPoller> poller;
    HeadlessActionsPanel* panel = nullptr;
};

// A step still reading when polling stops (a Replace began) shows nothing. The GUI thread's own waits with
// a frozen application: ResponsivenessDesktopTest.
TEST_F(AccessibilityThreadTest, AHungApplicationHoldsOneStepOnTheLayersThreadAndNeverTheGuiThread)
{
    held = true;
    EXPECT_EQ(poller->checkSelectedText().decision, PollStep::Decision::unchanged) << "nothing is known yet";
    ASSERT_TRUE(QTest::qWaitFor([this] { return frontReads == 1; }));
    // Ticks while the step waits are skipped, not queued behind it.
    for (int tick = 0; tick < 5; ++tick) {
        poller->checkSelectedText();
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(poller->isStepInFlight());
    poller->stopPolling();
    held = false;
    ASSERT_TRUE(QTest::qWaitFor([this] { return !poller->isStepInFlight(); }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(steps.empty());
    EXPECT_EQ(frontReads, 1);
    EXPECT_FALSE(panel->isOpen());

    poller->checkSelectedText();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !steps.empty(); }));
    EXPECT_EQ(steps, std::vector{PollStep::Decision::show});
    EXPECT_NE(readThread, guiThread);
    EXPECT_TRUE(finishedOnGuiThread);
    EXPECT_TRUE(panel->isOpen());
}

TEST_F(AccessibilityThreadTest, WhatIsLeftForAContextThatIsGoneIsDropped)
{
    auto context = std::make_unique<QObject>();
    bool ran = false;
    held = true;
    thread->run(context.get(), [](AccessibilityBackend& layer) {
        layer.frontmostWindowOwnerPid();
        return AccessibilityRunner::Then([] {});
    });
    thread->run(context.get(),
                [&ran](AccessibilityBackend&) { return AccessibilityRunner::Then([&ran] { ran = true; }); });
    ASSERT_TRUE(QTest::qWaitFor([this] { return frontReads == 1; }));
    context.reset();
    held = false;
    bool after = false;
    QObject alive;
    thread->run(&alive,
                [&after](AccessibilityBackend&) { return AccessibilityRunner::Then([&after] { after = true; }); });
    ASSERT_TRUE(QTest::qWaitFor([&after] { return after; }));
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace parlomatic::selection
