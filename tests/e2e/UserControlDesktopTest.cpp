// The user's say over the watcher, chosen from the menu's items: Mousepad turned off is not read at all
// (counted at the accessibility layer's seam), also after a restart; a pause reads nothing until Resume.

#include "app/MenuBarView.h"
#include "common/Clock.h"
#include "e2e/TwoApplicationsFixture.h"
#include "platform/linux/ProcApplicationIdentities.h"
#include "selection/WatchControl.h"
#include "service/Preferences.h"

#include <QMenu>
#include <QTemporaryDir>

#include <atomic>

namespace parlomatic {
namespace {

using namespace std::chrono_literals;
using namespace test;

// The real layer, counting what the watcher asks of it: the front process apart from the rest.
class CountingAccessibility final : public AccessibilityBackend {
public:
    explicit CountingAccessibility(AccessibilityBackend& real) : m_real(real) {}

    std::optional<Pid> frontmostWindowOwnerPid() override
    {
        ++frontReads;
        return m_real.frontmostWindowOwnerPid();
    }
    Element applicationElement(Pid pid) override { return counted(m_real.applicationElement(pid)); }
    Element focusedElement(const Element& a) override { return counted(m_real.focusedElement(a)); }
    std::optional<QString> bundleIdentifier(Pid pid) override { return counted(m_real.bundleIdentifier(pid)); }
    std::optional<QString> selectedText(const Element& e) override { return counted(m_real.selectedText(e)); }
    std::optional<int> selectionLength(const Element& e) override { return counted(m_real.selectionLength(e)); }
    std::optional<AxRect> selectionBoundsFromTextMarkers(const Element& e) override
    {
        return counted(m_real.selectionBoundsFromTextMarkers(e));
    }
    std::optional<AxRect> selectionBoundsFromRange(const Element& e) override
    {
        return counted(m_real.selectionBoundsFromRange(e));
    }
    std::optional<AxRect> elementFrame(const Element& e) override { return counted(m_real.elementFrame(e)); }
    std::optional<QString> elementRole(const Element& e) override { return counted(m_real.elementRole(e)); }
    void readAncestorAttributes(const Element& e) override { m_real.readAncestorAttributes(counted(e)); }
    void enableEnhancedUserInterface(const Element& a) override { m_real.enableEnhancedUserInterface(counted(a)); }
    void enableEnhancedUserInterfaceForRunningApps() override
    {
        ++otherReads;
        m_real.enableEnhancedUserInterfaceForRunningApps();
    }

    std::atomic<int> frontReads = 0;
    std::atomic<int> otherReads = 0;

private:
    template <typename T> T counted(T value)
    {
        ++otherReads;
        return value;
    }
    AccessibilityBackend& m_real;
};

class UserControlDesktopTest : public TwoApplicationsFixture {
protected:
    void SetUp() override
    {
        TwoApplicationsFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        counting = std::make_unique<CountingAccessibility>(*backend);
        restart();
    }
    void TearDown() override { poller.reset(); } // before the counting layer and the control it uses

    // A new watcher over the same settings file, as after quitting and starting again.
    void restart()
    {
        poller.reset();
        control.reset();
        preferences = std::make_unique<Preferences>(settings.filePath(QStringLiteral("Parlomatic.conf")).toStdString());
        control = std::make_unique<WatchControl>(*preferences, systemClock());
        poller = headlessPoller(*counting);
        control->govern(*poller, std::make_shared<platform::ProcApplicationIdentities>());
    }

    // Chooses the item of that title among the watcher's menu items, as the tray menu shows them.
    void choose(const QString& title)
    {
        QMenu menu;
        MenuBarView::addWatchItems(menu, *control);
        const auto all = menu.findChildren<QAction*>();
        const auto found = std::ranges::find(all, title, &QAction::text);
        ASSERT_NE(found, all.end()) << title.toStdString();
        (*found)->trigger();
        QCoreApplication::processEvents();
    }

    // A fresh selection stepped over for a while: no strip, nothing asked but (`frontRead`) the front process.
    void expectNothingRead(const QString& text, bool frontRead)
    {
        counting->frontReads = 0;
        counting->otherReads = 0;
        typeAndSelectAll(text);
        int steps = 0;
        const auto deadline = std::chrono::steady_clock::now() + 600ms;
        while (std::chrono::steady_clock::now() < deadline) {
            const PollStep step = poller->checkSelectedText();
            EXPECT_EQ(step.decision, frontRead ? PollStep::Decision::hide : PollStep::Decision::unchanged);
            EXPECT_EQ(step.turnedOff, frontRead);
            ++steps;
            spinEventLoop(50ms);
        }
        EXPECT_FALSE(poller->actionsPanel().isOpen());
        EXPECT_EQ(counting->frontReads, frontRead ? steps : 0);
        EXPECT_EQ(counting->otherReads, 0) << "asked of the layer beyond the front process";
    }

    QTemporaryDir settings;
    std::unique_ptr<CountingAccessibility> counting;
    std::unique_ptr<Preferences> preferences;
    std::unique_ptr<WatchControl> control;
};

TEST_F(UserControlDesktopTest, TurnedOffApplicationIsNeverReadOthersAreAndTheChoiceOutlivesARestart)
{
    mousepad.activate();
    selectAllAndWaitForTheStrip(QStringLiteral("shown in Mousepad"));
    ASSERT_TRUE(control->lastShown());
    EXPECT_EQ(control->lastShown()->name, QStringLiteral("Mousepad")) << "the desktop entry's name";
    choose(QStringLiteral("Don't Show in Mousepad"));
    expectNothingRead(QStringLiteral("not read in Mousepad"), true);

    qtWindow.activate();
    ASSERT_TRUE(qtWindow.command("focus editor"));
    selectAllAndWaitForTheStrip(QStringLiteral("shown in the Qt window"));

    restart();
    mousepad.activate();
    expectNothingRead(QStringLiteral("still not read"), true);
    choose(QStringLiteral("Mousepad")); // its check item under "Turned Off In"
    EXPECT_TRUE(control->turnedOff().empty());
    selectAllAndWaitForTheStrip(QStringLiteral("shown again in Mousepad"));
}

TEST_F(UserControlDesktopTest, PauseReadsNothingUntilResume)
{
    mousepad.activate();
    selectAllAndWaitForTheStrip(QStringLiteral("before the pause"));
    choose(QStringLiteral("Pause for 1 Hour"));
    expectNothingRead(QStringLiteral("during the pause"), false);
    choose(QStringLiteral("Resume"));
    selectAllAndWaitForTheStrip(QStringLiteral("after the pause"));
}

} // namespace
} // namespace parlomatic
