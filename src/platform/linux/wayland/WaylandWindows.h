#pragma once

#include "platform/linux/session/Session.h"
#include "platform/linux/wayland/WindowGeometry.h"
#include "selection/axUtils.h"

#include <memory>
#include <optional>
#include <string>

namespace parlomatic::platform {

// Where a native Wayland window is on the desktop. A Wayland client cannot learn its own
// position, and toolkits answer accessibility rectangles relative to their window: the compositor
// is asked instead, in its own way. Used from the accessibility layer's thread.
class WaylandWindows {
public:
    virtual ~WaylandWindows() = default;

    // The focused window of `pid` in the compositor's global layout (logical pixels, which
    // XWayland's root window shares), without the compositor's own borders and title bar; nothing
    // when that process's window does not have the focus or cannot be found.
    virtual std::optional<WindowGeometry> focusedWindow(selection::Pid pid) = 0;
    // The process whose window has the keyboard focus, or nothing when the compositor cannot tell.
    virtual std::optional<selection::Pid> focusedProcess() = 0;
    // Grows whenever a window was moved, resized, focused or closed, or an output changed.
    virtual unsigned long layoutChanges() = 0;
    // False while the compositor has not told anything yet (KWin's script answers a moment after it
    // is loaded): until then no window counts as one it does not report.
    virtual bool hasAnswered() { return true; }

    // What the user of `compositor` can do when it cannot be asked where windows are, in plain
    // words; once per process it is also logged and shown as a desktop notification (where a
    // notification service runs).
    static std::string missingHint(Compositor compositor);
    static void tellUserOnce(Compositor compositor);

protected:
    WaylandWindows() = default;
    WaylandWindows(const WaylandWindows&) = default;
    WaylandWindows& operator=(const WaylandWindows&) = default;
};

} // namespace parlomatic::platform
