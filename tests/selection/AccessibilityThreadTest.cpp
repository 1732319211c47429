#include "selection/AccessibilityThread.h"
#include "fakes/FakeAccessibility.h"
#include "selection/HeadlessActionsPanel.h"
#include "selection/TextSelectionPoller.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace parlomatic {
namespace {

using namespace std::chrono_literals;
constexpr Pid appPid = 4242;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds patience = 5000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// An application that stops answering until the test lets it go on.
class Hold {
public:
    void close()
    {
        const std::lock_guard lock(m_mutex);
        m_open = false;
    }
    void open()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }
    void pass()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = true;
};

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
            focused->markerBounds = AxRect{100, 300, 80, 20};
            layer->setFront(appPid);
            layer->beforeFrontRead = [this] {
                readThread = std::this_thread::get_id();
                ++frontReads;
                hold.pass();
            };
            latest = layer.get();
            ++made;
            return layer;
        });
        poller = std::make_unique<TextSelectionPoller>(*thread, [this](TextSelectionPoller&) {
            auto strip = std::make_unique<HeadlessActionsPanel>(QSize(200, 40));
            panel = strip.get();
            return strip;
        });
        poller->setScreens([] {
            return std::vector<ScreenArea>{{QRect(0, 0, 1920, 1080), QRect(0, 0, 1920, 1080), 1}};
        });
        QObject::connect(poller.get(), &TextSelectionPoller::stepFinished, [this](const PollStep& step) {
            steps.push_back(step.decision);
            finishedOnGuiThread = finishedOnGuiThread && std::this_thread::get_id() == guiThread;
        });
    }
    void TearDown() override
    {
        hold.open();
        poller.reset();
        thread.reset();
    }

    Hold hold;
    std::atomic<int> frontReads = 0;
    std::atomic<int> made = 0;
    std::atomic<FakeAccessibility*> latest = nullptr;
    std::atomic<std::thread::id> readThread;
    const std::thread::id guiThread = std::this_thread::get_id();
    bool finishedOnGuiThread = true;
    std::vector<PollStep::Decision> steps;
    std::unique_ptr<AccessibilityThread> thread;
    std::unique_ptr<TextSelectionPoller> poller;
    HeadlessActionsPanel* panel = nullptr;
};

TEST_F(AccessibilityThreadTest, AHungApplicationHoldsOneStepOnTheLayersThreadAndNeverTheGuiThread)
{
    hold.close();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(poller->checkSelectedText().decision, PollStep::Decision::unchanged) << "nothing is known yet";
    ASSERT_TRUE(waitUntil([this] { return frontReads == 1; }));
    // Ticks while the step waits are skipped, not queued behind it.
    for (int tick = 0; tick < 5; ++tick) {
        poller->checkSelectedText();
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(poller->isStepInFlight());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    hold.open();
    ASSERT_TRUE(waitUntil([this] { return !steps.empty(); }));
    EXPECT_EQ(steps, std::vector{PollStep::Decision::show});
    EXPECT_EQ(frontReads, 1);
    EXPECT_NE(readThread, guiThread);
    EXPECT_TRUE(finishedOnGuiThread);
    EXPECT_TRUE(panel->isOpen());
}

TEST_F(AccessibilityThreadTest, AStepStillReadingWhenPollingStopsShowsNothing)
{
    hold.close();
    poller->checkSelectedText();
    ASSERT_TRUE(waitUntil([this] { return frontReads == 1; }));
    poller->stopPolling(); // a Replace began
    hold.open();
    ASSERT_TRUE(waitUntil([this] { return !poller->isStepInFlight(); }));
    EXPECT_TRUE(steps.empty());
    EXPECT_FALSE(panel->isOpen());
    poller->checkSelectedText();
    ASSERT_TRUE(waitUntil([this] { return !steps.empty(); }));
    EXPECT_TRUE(panel->isOpen());
}

TEST_F(AccessibilityThreadTest, ALayerThatLostItsBusIsMadeAnewAndAnnouncesIt)
{
    int announcements = 0;
    thread->setChangeListener([&announcements] { ++announcements; });
    ASSERT_TRUE(waitUntil([this] { return made == 1 && latest != nullptr; }));
    latest.load()->connected = false;
    // Found by the regular look at the bus, without any step.
    ASSERT_TRUE(waitUntil([this] { return made == 2; }, 3000ms));
    EXPECT_EQ(thread->layersMade(), 2);
    ASSERT_TRUE(waitUntil([&announcements] { return announcements > 0; }));
    poller->checkSelectedText();
    ASSERT_TRUE(waitUntil([this] { return !steps.empty(); }));
    EXPECT_EQ(steps.back(), PollStep::Decision::show) << "the new layer reads";
}

TEST_F(AccessibilityThreadTest, WhatIsLeftForAContextThatIsGoneIsDropped)
{
    auto context = std::make_unique<QObject>();
    bool ran = false;
    hold.close();
    thread->run(context.get(), [](AccessibilityBackend& layer) {
        layer.frontmostWindowOwnerPid();
        return AccessibilityRunner::Then([] {});
    });
    thread->run(context.get(),
                [&ran](AccessibilityBackend&) { return AccessibilityRunner::Then([&ran] { ran = true; }); });
    ASSERT_TRUE(waitUntil([this] { return frontReads == 1; }));
    context.reset();
    hold.open();
    bool after = false;
    QObject alive;
    thread->run(&alive,
                [&after](AccessibilityBackend&) { return AccessibilityRunner::Then([&after] { after = true; }); });
    ASSERT_TRUE(waitUntil([&after] { return after; }));
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace parlomatic
