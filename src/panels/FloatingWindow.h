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

// Called before the application object is made, by every program that places the strip (the
// application and the inspector): on a Wayland session with XWayland, Qt runs on XWayland unless
// QT_QPA_PLATFORM says otherwise. The selection's rectangles are in XWayland's root units, which only
// XWayland's screens share (Qt's Wayland screens are logical, with the output's scale as their
// ratio: a rectangle would be scaled twice).
inline void runOnXWaylandUnderWayland()
{
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
}

} // namespace parlomatic
