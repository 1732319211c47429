#include "platform/linux/wayland/WaylandWindows.h"

#include "platform/linux/wayland/gnome/GnomeShellWindows.h"
#include "platform/linux/wayland/kwin/KWinWindows.h"
#include "platform/linux/wayland/sway/SwayWindows.h"

#include "common/Log.h"
#include "platform/linux/desktop/DesktopNotifications.h"
#include "selection/LogCategories.h"

#include <cstdlib>
#include <mutex>
#include <string_view>

namespace parlomatic::platform {

std::unique_ptr<WaylandWindows> WaylandWindows::forSession()
{
    if (const char* sway = std::getenv("SWAYSOCK"); sway != nullptr && *sway != '\0') {
        auto windows = SwayWindows::connect(sway);
        qCDebug(sessionLog) << "sway (SWAYSOCK is set): native windows from its IPC:"
                            << (windows ? "connected" : "could not connect");
        return windows;
    }
    if (auto gnome = GnomeShellWindows::connect()) {
        qCDebug(sessionLog) << "GNOME Shell: native windows from Parlomatic's shell extension";
        return gnome;
    }
    auto kwin = KWinWindows::connect();
    qCDebug(sessionLog) << "Neither sway nor GNOME Shell's extension; KWin's window script:"
                        << (kwin ? "loaded" : "not available, so native windows have no known place");
    return kwin;
}

std::string WaylandWindows::missingHint()
{
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    if (desktop != nullptr && std::string_view(desktop).find("GNOME") != std::string_view::npos) {
        return std::string("To show its strip over Wayland applications, Parlomatic needs its GNOME Shell extension: "
                           "run \"gnome-extensions enable ") +
               GnomeShellWindows::extensionUuid + "\", then log out and in again.";
    }
    return "This desktop does not tell Parlomatic where Wayland windows are, so its strip shows only over "
           "X11 (XWayland) applications.";
}

void WaylandWindows::tellUserOnce()
{
    static std::once_flag told;
    std::call_once(told, [] {
        const std::string hint = missingHint();
        logError(hint);
        DesktopNotifications().tell(NoticeCause::compositor, QString::fromStdString(hint));
    });
}

} // namespace parlomatic::platform
