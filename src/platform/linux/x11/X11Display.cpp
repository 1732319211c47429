#include "platform/linux/x11/X11Display.h"

#include <X11/Xlib.h>

namespace parlomatic::platform {

void closeX11Display(_XDisplay* display)
{
    XCloseDisplay(display);
}

} // namespace parlomatic::platform
