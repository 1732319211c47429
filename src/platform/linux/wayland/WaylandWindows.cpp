#include "platform/linux/wayland/WaylandWindows.h"

#include "platform/linux/wayland/gnome/GnomeShellWindows.h"

#include "common/Log.h"
#include "platform/linux/desktop/DesktopNotifications.h"

#include <mutex>

namespace parlomatic::platform {

std::string WaylandWindows::missingHint(Compositor compositor)
{
    if (compositor == Compositor::gnomeShell) {
        return std::string("To show its strip over Wayland applications, Parlomatic needs its GNOME Shell extension: "
                           "run \"gnome-extensions enable ") +
               GnomeShellWindows::extensionUuid + "\", then log out and in again.";
    }
    return "This desktop does not tell Parlomatic where Wayland windows are, so its strip shows only over "
           "X11 (XWayland) applications.";
}

void WaylandWindows::tellUserOnce(Compositor compositor)
{
    static std::once_flag told;
    std::call_once(told, [compositor] {
        const std::string hint = missingHint(compositor);
        logError(hint);
        DesktopNotifications().tell(selection::NoticeCause::compositor, QString::fromStdString(hint));
    });
}

} // namespace parlomatic::platform
