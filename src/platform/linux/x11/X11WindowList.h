#pragma once

#include "selection/axUtils.h"

#include <functional>
#include <memory>
#include <optional>

namespace parlomatic::platform {

// The X11 window stack as the window manager publishes it (EWMH).
class X11WindowList {
public:
    // Opens its own connection to $DISPLAY; isConnected() tells whether that worked.
    X11WindowList();
    ~X11WindowList();
    X11WindowList(const X11WindowList&) = delete;
    X11WindowList& operator=(const X11WindowList&) = delete;

    bool isConnected() const;

    // The owner of the topmost ordinary window: the stacking list walked top-down, counting windows
    // whose type is absent, NORMAL or DIALOG, that are not hidden and that lie on the current
    // desktop (or on all of them), owner from _NET_WM_PID.
    // Utility, dock, menu and notification windows (our floating panels among them) never count.
    std::optional<selection::Pid> frontmostWindowOwnerPid();

    // The rectangle (root-window pixels) of the topmost ordinary window of `pid` on the current
    // desktop, as frontmostWindowOwnerPid() counts windows. Two round trips to the X server.
    std::optional<selection::AxRect> windowGeometry(selection::Pid pid);
    // Grows whenever a window met by frontmostWindowOwnerPid() was moved or resized (ConfigureNotify,
    // the window manager's synthetic one for a move included), or the stack or desktop changed. No
    // round trip to the X server.
    unsigned long layoutChanges();

private:
    // The ordinary windows on the current desktop, top first, while `visit` returns false.
    void walkFrontToBack(const std::function<bool(unsigned long window, selection::Pid pid)>& visit);
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace parlomatic::platform
