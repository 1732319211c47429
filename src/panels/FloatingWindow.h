#pragma once

#include <QGuiApplication>
#include <QWidget>

namespace parlomatic {

// On a Wayland session Parlomatic's own windows go through XWayland, whose root window is the
// compositor's global layout: there the strip and the translation panel bypass the window manager
// (which would place and focus them as it likes) and stand at their own X11 coordinates. The
// application in front keeps the keyboard.
inline void placeByOwnCoordinatesOnXWayland(QWidget& window)
{
    if (QGuiApplication::platformName() == QLatin1StringView("xcb") &&
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        window.setWindowFlag(Qt::X11BypassWindowManagerHint);
    }
}

} // namespace parlomatic
