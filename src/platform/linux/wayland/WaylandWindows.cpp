#include "platform/linux/wayland/WaylandWindows.h"

#include "platform/linux/wayland/KWinWindows.h"
#include "platform/linux/wayland/SwayWindows.h"

#include <cstdlib>

namespace parlomatic::platform {

std::unique_ptr<WaylandWindows> WaylandWindows::forSession()
{
    if (const char* sway = std::getenv("SWAYSOCK"); sway != nullptr && *sway != '\0') {
        return SwayWindows::connect(sway);
    }
    return KWinWindows::connect();
}

} // namespace parlomatic::platform
