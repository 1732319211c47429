#include "fakes/FakeAccessibility.h"
#include "selection/HeadlessActionsPanel.h"
#include "selection/PanelPlacement.h"
#include "selection/TextSelectionPoller.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <utility>
#include <vector>

namespace parlomatic::selection {
namespace {

// A layer that steps on its own: the poller's watches are kept, and the test hands over readings.
class WatchingRunner final : public AccessibilityRunner {
public:
    explicit WatchingRunner(AccessibilityBackend& backend) : m_backend(backend) {}
    void run(QObject*, Job job) override
    {
        if (const Then then = job(m_backend)) {
            then();
        }
    }
    void setChangeListener(std::function<void()>) override {}
    bool watches() const override { return true; }
    void watch(const SelectionWatch& watch, std::function<void(SelectionReading, std::int64_t)> changed) override
    {
        watches_.push_back(watch);
        m_changed = std::move(changed);
    }
    void send(SelectionReading reading, std::int64_t generation) const { m_changed(std::move(reading), generation); }

    std::vector<SelectionWatch> watches_;

private:
    AccessibilityBackend& m_backend;
    std::function<void(SelectionReading, std::int64_t)> m_changed;
};

// Where the layer steps on its own, the poller says what to watch (not while stopped or held, with the
// applications turned off), decides the readings of the current watch only, and still reads afresh
// when asked for a step.
TEST(PollerWatchTest, ReadingsOfTheCurrentWatchAreDecidedAndAHoldStopsTheSteps)
{
    using namespace std::chrono_literals;
    FakeAccessibility backend;
    const auto focused = backend.addApplication(4242);
    backend.setFront(4242);
    focused->selectedText = QStringLiteral("hello world");
    focused->role = QStringLiteral("AXTextArea");
    focused->markerBounds = AxRect{.x = 100, .y = 300, .width = 80, .height = 20};
    WatchingRunner runner(backend);
    HeadlessActionsPanel* panel = nullptr;
    TextSelectionPoller poller(runner, [&panel](TextSelectionPoller&) {
        auto made = std::make_unique<HeadlessActionsPanel>(QSize(200, 40));
        panel = made.get();
        return made;
    });
    poller.setScreens([] {
        return std::vector{ScreenArea{
            .geometry = QRect(0, 0, 1920, 1080), .workArea = QRect(0, 0, 1920, 1080), .devicePixelRatio = 1}};
    });
    bool held = false;
    poller.setHold([&held] { return held; });
    QStringList off{QStringLiteral("org.example.Quiet.desktop")};
    poller.setApplicationFilter({.identities = nullptr, .isTurnedOff = {}, .turnedOffIds = [&off] { return off; }});
    EXPECT_TRUE(runner.watches_.empty()) << "nothing is watched before polling starts";

    poller.startPolling();
    QCoreApplication::processEvents();
    ASSERT_EQ(runner.watches_.size(), 1U);
    const SelectionWatch first = runner.watches_.back();
    EXPECT_EQ(first.every, std::chrono::milliseconds(TextSelectionPoller::intervalMs));
    EXPECT_EQ(first.turnedOff, off);
    const auto reading = [&backend] { return SelectionReader(1).read(backend); };
    runner.send(reading(), first.generation - 1);
    EXPECT_FALSE(panel->isOpen()) << "a reading of an earlier watch is not taken";
    runner.send(reading(), first.generation);
    EXPECT_TRUE(panel->isOpen());

    off.append(QStringLiteral("org.example.Editor.desktop"));
    poller.applicationFilterChanged();
    ASSERT_EQ(runner.watches_.size(), 2U);
    EXPECT_EQ(runner.watches_.back().turnedOff, off);
    EXPECT_GT(runner.watches_.back().generation, first.generation);

    held = true;
    poller.holdChanged();
    EXPECT_EQ(runner.watches_.back().every, 0ms) << "held, the layer stops reading";
    EXPECT_FALSE(panel->isOpen());
    held = false;
    poller.holdChanged();
    EXPECT_GT(runner.watches_.back().every, 0ms);

    focused->selectedText = QStringLiteral("fresh words");
    EXPECT_EQ(poller.checkSelectedText().text, QStringLiteral("fresh words")) << "a step asked for reads afresh";
    // A reading sent while a step of our own runs is decided after it.
    std::vector<QString> decided;
    QObject::connect(&poller, &TextSelectionPoller::stepFinished,
                     [&decided](const PollStep& step) { decided.push_back(step.text); });
    bool sent = false;
    backend.beforeFrontRead = [&] {
        if (std::exchange(sent, true)) {
            return;
        }
        focused->selectedText = QStringLiteral("newer words");
        runner.send(reading(), runner.watches_.back().generation);
        focused->selectedText = QStringLiteral("fresh words");
    };
    poller.checkSelectedText();
    EXPECT_EQ(decided, (std::vector<QString>{QStringLiteral("fresh words"), QStringLiteral("newer words")}));

    poller.stopPolling();
    EXPECT_EQ(runner.watches_.back().every, 0ms);
    panel->close();
    runner.send(reading(), runner.watches_.back().generation);
    EXPECT_FALSE(panel->isOpen()) << "stopped, readings are not taken";
}

} // namespace
} // namespace parlomatic::selection
