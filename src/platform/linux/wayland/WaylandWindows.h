#pragma once

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
    virtual std::optional<WindowGeometry> focusedWindow(Pid pid) = 0;
    // The process whose window has the keyboard focus, or nothing when the compositor cannot tell.
    virtual std::optional<Pid> focusedProcess() = 0;
    // Grows whenever a window was moved, resized, focused or closed, or an output changed.
    virtual unsigned long layoutChanges() = 0;
    // False while the compositor has not told anything yet (KWin's script answers a moment after it
    // is loaded): until then no window counts as one it does not report.
    virtual bool hasAnswered() { return true; }

    // The compositor of this session that can be asked, or nothing (an unknown compositor, or one
    // whose way of telling is not open to us).
    static std::unique_ptr<WaylandWindows> forSession();
    // What the user can do when forSession() found nothing, in plain words; once per process it is
    // also logged and shown as a desktop notification (where a notification service runs).
    static std::string missingHint();
    static void tellUserOnce();

protected:
    WaylandWindows() = default;
    WaylandWindows(const WaylandWindows&) = default;
    WaylandWindows& operator=(const WaylandWindows&) = default;
};

} // namespace parlomatic::platform
