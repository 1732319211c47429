#pragma once

#include "selection/axUtils.h"

#include <optional>
#include <utility>

namespace parlomatic::platform {

// Where a native window is, as its compositor tells it, in the global layout.
struct WindowGeometry {
    // The window as the user sees it: without the shadows a client draws around it.
    selection::AxRect frame;
    // The whole surface the client draws, shadows included, where the compositor tells it.
    std::optional<selection::AxRect> surface;
    // XWayland's root units per layout unit: more than 1 on KWin where X11 applications scale
    // themselves (its root is the layout times the largest output scale).
    double rootScale = 1;
    // Layout units per unit of the toolkit's own coordinates: the window's output scale where the
    // compositor lays its outputs out in pixels (GNOME Shell unless it scales framebuffers).
    double contentScale = 1;
};

// The rectangle a compositor reports, only when it has a size and lies within the coordinates a
// compositor has (32-bit integers): beyond them, or not a finite number, it is no place on a screen.
std::optional<selection::AxRect> sizedRect(double x, double y, double width, double height);

// The focused window as a compositor reports it: its process (0 when none) and where it is, when it
// has a size.
struct FocusedWindow {
    selection::Pid pid = 0;
    std::optional<WindowGeometry> window;
};

// Where a window's own coordinates (a toolkit's WINDOW extents) lie on XWayland's root, on which
// Parlomatic's windows are placed.
struct WindowPlacement {
    double x = 0; // the origin in layout units
    double y = 0;
    double rootScale = 1;
    double contentScale = 1; // as in WindowGeometry

    selection::AxRect onRoot(selection::AxRect inWindow) const
    {
        return {.x = (x + inWindow.x * contentScale) * rootScale,
                .y = (y + inWindow.y * contentScale) * rootScale,
                .width = inWindow.width * contentScale * rootScale,
                .height = inWindow.height * contentScale * rootScale};
    }
};

// The global position of the point toolkits measure their window coordinates from, given the size
// of the window as the toolkit itself tells it over AT-SPI (its top-level's extents, taken times the
// window's contentScale):
// - the same size as the surface: the surface's corner (toolkits that measure shadows in);
// - the same size as the frame: the frame's corner (GTK 4 measures from its GtkWindow);
// - smaller than the frame: a title bar the application draws above what it measures (Qt under
//   GNOME Shell), with borders as wide at the bottom as at the sides;
// - larger than the frame (a window that does not fit its tile): the frame's corner.
std::pair<double, double> contentOrigin(const WindowGeometry& window, const selection::AxRect& toolkitSize);

} // namespace parlomatic::platform
