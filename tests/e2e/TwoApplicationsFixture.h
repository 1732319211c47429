#pragma once

// Mousepad and the Qt test window, started once per test program, with the real AT-SPI layer.
#include "e2e/DesktopTestSupport.h"

namespace parlomatic::test {

class TwoApplicationsFixture : public DesktopSuite {
protected:
    static void SetUpTestSuite()
    {
        if (inDesktopSession()) {
            mousepad = Peer::start(QStringLiteral("mousepad"), {});
            qtWindow = Peer::start(QStringLiteral(PARLOMATIC_QT_TEST_WINDOW), {});
            peers = {&mousepad, &qtWindow};
            backend = std::make_unique<platform::AtspiAccessibility>();
        }
    }

    // Types and selects `text`, then steps until the strip stands over it; that step.
    PollStep selectAllAndWaitForTheStrip(const QString& text)
    {
        typeAndSelectAll(text);
        return stepUntil(showing(text), "the strip over the new selection");
    }

    static inline Peer mousepad;
    static inline Peer qtWindow;
};

} // namespace parlomatic::test
