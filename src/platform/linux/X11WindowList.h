#pragma once

#include "selection/axUtils.h"

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
    // whose type is absent, NORMAL or DIALOG and that are not hidden, owner from _NET_WM_PID.
    // Utility, dock, menu and notification windows (our floating panels among them) never count.
    std::optional<Pid> frontmostWindowOwnerPid();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace parlomatic::platform
