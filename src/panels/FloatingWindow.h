#pragma once

#include <QWidget>

namespace parlomatic::panels {

// On a Wayland session Parlomatic's own windows go through XWayland, whose root window is the
// compositor's global layout: there the strip and the translation panel bypass the window manager
// (which would place and focus them as it likes) and stand at their own X11 coordinates. The
// application in front keeps the keyboard. Called before the window is first shown, where the
// application's PlatformParts says so.
inline void placeByOwnCoordinates(QWidget& window)
{
    window.setWindowFlag(Qt::X11BypassWindowManagerHint);
}

} // namespace parlomatic::panels
