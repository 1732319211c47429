// The selection watcher on a Wayland session: a headless sway (tests/e2e/wayland_session.sh) inside
// the private desktop, Mousepad as a native Wayland client, and the Qt test window on XWayland.
// XWayland sets DISPLAY too, but its window list holds only XWayland windows.

#include "e2e/DesktopTestSupport.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/AtspiElement.h"
#include "selection/TextSelectionPoller.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QProcess>
#include <QScopeGuard>

#include <memory>

namespace parlomatic {
namespace {

using namespace std::chrono_literals;
using Decision = PollStep::Decision;
using test::Peer;

// Writes `text` into the element and selects it through AT-SPI: keys typed through the
// compositor's virtual keyboard lose the first one.
void writeAndSelect(const Element& element, const QString& text)
{
    AtspiAccessible* accessible = platform::atspiOf(element);
    ASSERT_NE(accessible, nullptr);
    const platform::GObjectPtr<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(accessible));
    const platform::GObjectPtr<AtspiText> selectable(atspi_accessible_get_text_iface(accessible));
    ASSERT_TRUE(editable && selectable);
    const QByteArray utf8 = text.toUtf8();
    platform::ErrorSlot writeError;
    ASSERT_TRUE(atspi_editable_text_set_text_contents(editable.get(), utf8.constData(), writeError.out()));
    platform::ErrorSlot selectError;
    ASSERT_TRUE(atspi_text_add_selection(selectable.get(), 0, int(text.size()), selectError.out()));
}

// The step's element is the focused text area of the process.
std::function<bool(const PollStep&)> textAreaOf(const Peer& peer, platform::AtspiAccessibility& backend)
{
    return [&peer, &backend](const PollStep& s) {
        return s.pid == peer.pid() && backend.elementRole(s.element) == QLatin1StringView(axRole::textArea);
    };
}

class WaylandSessionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || !test::inDesktopSession()) {
            return;
        }
        backend = std::make_unique<platform::AtspiAccessibility>();
        // No X11 window to wait for: the application is up once its focus is announced.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("GDK_BACKEND"), QStringLiteral("wayland"));
        mousepad = Peer::start(QStringLiteral("mousepad"), {}, environment, 0s);
    }
    static void TearDownTestSuite()
    {
        mousepad.stop();
        backend.reset();
    }

    void SetUp() override
    {
        if (!backend) {
            GTEST_SKIP() << "needs scripts/desktop-session tests/e2e/wayland_session.sh";
        }
        ASSERT_TRUE(backend->isAvailable());
        poller = test::headlessPoller(*backend);
    }

    static inline Peer mousepad;
    static inline std::unique_ptr<platform::AtspiAccessibility> backend;
    std::unique_ptr<TextSelectionPoller> poller;
};

TEST_F(WaylandSessionTest, NativeWindowIsReadButGivesNoRectangle)
{
    const PollStep front = test::stepUntil(*poller, textAreaOf(mousepad, *backend), "Mousepad in front", 30s);
    const QString text = QStringLiteral("read on Wayland");
    writeAndSelect(front.element, text);
    EXPECT_TRUE(test::waitUntil([&] { return backend->selectedText(front.element) == text; }));
    EXPECT_FALSE(backend->isWindowPositionKnown(front.element));

    // Rectangles of a native Wayland window are relative to a window whose position is unknown:
    // no strip is placed from them.
    const PollStep step = poller->checkSelectedText();
    EXPECT_EQ(step.pid, mousepad.pid());
    EXPECT_EQ(std::string(decisionName(step.decision)), "hide");
    EXPECT_FALSE(step.rect);
    EXPECT_FALSE(step.panel);

    const nlohmann::json line = test::inspectOnce(PARLOMATIC_INSPECT);
    ASSERT_TRUE(line.is_object());
    EXPECT_EQ(line["pid"], mousepad.pid());
    EXPECT_TRUE(line["rect"].is_null());
    EXPECT_TRUE(line["panel"].is_null());
    EXPECT_EQ(line.value("windowPosition", ""), "unknown: a native Wayland window, no strip is placed from it");
}

TEST_F(WaylandSessionTest, XWaylandWindowIsPlacedFromItsX11Position)
{
    Peer qtWindow = Peer::start(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {});
    const auto stop = qScopeGuard([&qtWindow] { qtWindow.stop(); });
    ASSERT_FALSE(qtWindow.window.isEmpty()) << "the Qt test window did not show on XWayland";
    const PollStep front = test::stepUntil(*poller, textAreaOf(qtWindow, *backend), "the Qt window in front", 30s);
    writeAndSelect(front.element, QStringLiteral("read through XWayland"));
    const PollStep step = test::stepUntil(*poller, test::showing(QStringLiteral("read through XWayland")), "the strip");
    // The rectangle in XWayland's root coordinates.
    test::expectOnTheSelection(step, qtWindow);
}

} // namespace
} // namespace parlomatic

int main(int argc, char** argv)
{
    // As Parlomatic itself on a Wayland session: through XWayland.
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
