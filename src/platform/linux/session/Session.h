#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace parlomatic::platform {

enum class DisplayServer : std::uint8_t { none, x11, wayland };

// Who manages the windows. On X11 some window manager (which one does not matter to us); on
// Wayland the compositor, told apart by what each session puts in the environment.
enum class Compositor : std::uint8_t { none, x11WindowManager, sway, kwin, gnomeShell, other };

// What kind of desktop session this process runs in, worked out once at start from the
// environment and handed to whatever needs it; nothing reads those variables again.
struct Session {
    using Environment = std::map<std::string, std::string>;

    DisplayServer displayServer = DisplayServer::none;
    Compositor compositor = Compositor::none;
    // WAYLAND_DISPLAY and DISPLAY as set (on Wayland, DISPLAY is XWayland's), empty when unset.
    std::string waylandDisplay;
    std::string x11Display;
    // sway's IPC socket (SWAYSOCK), empty elsewhere.
    std::string swaySocket;

    bool wayland() const { return displayServer == DisplayServer::wayland; }
    // A Wayland session with XWayland's display beside it.
    bool xwayland() const { return wayland() && !x11Display.empty(); }
    // Some display can be reached at all.
    bool hasDisplay() const { return !waylandDisplay.empty() || !x11Display.empty(); }

    // Scale facts. XWayland's root window is the compositor's logical layout (sway, GNOME Shell),
    // except on KWin where X11 applications scale themselves: there it is the layout times the
    // largest output scale, measured at run time from the root's size.
    bool xwaylandRootMayBeScaled() const { return compositor == Compositor::kwin; }
    // GNOME Shell may lay its outputs out in pixels: a window's own coordinates then count its
    // output's scale many pixels per unit, as its extension tells per window.
    bool windowUnitsMayBeScaled() const { return compositor == Compositor::gnomeShell; }

    // From XDG_SESSION_TYPE, WAYLAND_DISPLAY, DISPLAY, SWAYSOCK and XDG_CURRENT_DESKTOP; a variable
    // set to the empty string counts as unset.
    static Session probe(const Environment& environment);
    // The same, from this process's environment.
    static Session probe();
};

// For debug lines: "sway", "KWin", ...
const char* compositorName(Compositor compositor);

} // namespace parlomatic::platform
