#pragma once

#include <optional>

namespace parlomatic::platform {

// The session's switch for the accessibility bus (org.a11y.Status.IsEnabled on the session bus).
// Toolkits expose their trees while it is true; Qt and Chromium read it only when they start.
// Calls are bounded by a short time-out.
class AccessibilityBusStatus {
public:
    static constexpr int timeoutMs = 300;

    // Nothing when the bus does not answer.
    static std::optional<bool> isEnabled();
    // Sets IsEnabled (never ScreenReaderEnabled); false when the bus refused or did not answer.
    static bool setEnabled(bool enabled);
};

} // namespace parlomatic::platform
