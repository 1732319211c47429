#pragma once

// Mousepad and the Qt test window, started once per test program, with the real AT-SPI layer.
#include "e2e/DesktopTestSupport.h"
#include "platform/linux/AtspiAccessibility.h"

#include <gtest/gtest.h>

#include <memory>

namespace parlomatic::test {

class TwoApplicationsFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!inDesktopSession()) {
            return;
        }
        mousepad = Peer::start(QStringLiteral("mousepad"), {});
        qtWindow = Peer::start(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {});
        backend = std::make_unique<platform::AtspiAccessibility>();
    }
    static void TearDownTestSuite()
    {
        backend.reset();
        mousepad.stop();
        qtWindow.stop();
    }

    // Skips outside the private desktop; both windows and the layer must be there. A poller over the layer.
    void SetUp() override
    {
        if (!inDesktopSession()) {
            GTEST_SKIP() << "needs scripts/desktop-session";
        }
        ASSERT_TRUE(backend && backend->isAvailable());
        ASSERT_FALSE(mousepad.window.isEmpty()) << "Mousepad did not show a window";
        ASSERT_FALSE(qtWindow.window.isEmpty()) << "the Qt test window did not show";
        poller = headlessPoller(*backend);
    }

    PollStep stepUntil(const std::function<bool(const PollStep&)>& condition, const char* what)
    {
        return test::stepUntil(*poller, condition, what);
    }

    // Types and selects `text`, then steps until the strip stands over it; that step.
    PollStep selectAllAndWaitForTheStrip(const QString& text)
    {
        typeAndSelectAll(text);
        return stepUntil(showing(text), "the strip over the new selection");
    }

    // Sends the Qt test window a command ("focus editor", ...) and waits for its answer.
    static void qtCommand(const QString& command)
    {
        qtWindow.process->write((command + '\n').toUtf8());
        QByteArray answer;
        const auto answered = [&] {
            return (answer += qtWindow.process->readAllStandardOutput()).contains("ok " + command.toUtf8());
        };
        ASSERT_TRUE(waitUntil(answered, 10s, 20ms)) << command.toStdString();
    }

    static inline Peer mousepad;
    static inline Peer qtWindow;
    static inline std::unique_ptr<platform::AtspiAccessibility> backend;
    std::unique_ptr<TextSelectionPoller> poller;
};

} // namespace parlomatic::test
