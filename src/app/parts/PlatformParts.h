#pragma once

#include "platform/linux/session/Session.h"

#include <memory>

namespace parlomatic::selection {
class GlobalShortcuts;
class KeyPaster;
class WindowPaster;
} // namespace parlomatic::selection

namespace parlomatic::platform {
class AtspiAccessibility;
class WaylandWindows;
} // namespace parlomatic::platform

namespace parlomatic::app {

// The one place that picks an implementation for each platform seam, from the Session probed once
// at start: the application, its accessibility helper and the inspector all make their parts here.
class PlatformParts {
public:
    explicit PlatformParts(platform::Session session);

    const platform::Session& session() const { return m_session; }

    // The accessibility layer over AT-SPI, told where native Wayland windows are by windowLocator().
    std::unique_ptr<platform::AtspiAccessibility> accessibilityLayer() const;
    // Where the compositor says native windows are: sway's IPC, GNOME Shell's extension of ours, a
    // KWin script of ours; for a compositor not told apart, whichever of the last two answers.
    // Nothing on X11, or where the compositor cannot be asked.
    std::unique_ptr<platform::WaylandWindows> windowLocator() const;
    // Keys through X11: into every window on X11, into XWayland's windows only on Wayland.
    std::unique_ptr<selection::KeyPaster> keyPaster() const;
    // The paste into native Wayland windows: through the compositor's clipboard where it opens it to
    // us (sway, KWin), GNOME Shell's remote-desktop keys over XWayland's clipboard there; for a
    // compositor not told apart, the first of those that works. Nothing on X11. GUI thread.
    std::unique_ptr<selection::WindowPaster> windowPaster() const;
    // Keys held for the whole desktop: grabbed through X11 on X11; on Wayland held by GNOME Shell's
    // extension of ours, else asked of the desktop's global-shortcuts portal; nothing on sway, which
    // binds them to `parlomatic --translate` and the like itself.
    std::unique_ptr<selection::GlobalShortcuts> globalShortcuts() const;
    // Whether the strip and the translation panel bypass the window manager and stand at their own
    // X11 coordinates: where our windows go through XWayland, whose root is the compositor's layout.
    bool panelsPlaceThemselves() const;

private:
    platform::Session m_session;
};

// Called before the application object is made, by every program that places the strip (the
// application and the inspector): on a Wayland session with XWayland, Qt runs on XWayland unless
// QT_QPA_PLATFORM says otherwise. The selection's rectangles are in XWayland's root units, which only
// XWayland's screens share (Qt's Wayland screens are logical, with the output's scale as their
// ratio: a rectangle would be scaled twice).
void runOnXWaylandUnderWayland(const platform::Session& session);

} // namespace parlomatic::app
