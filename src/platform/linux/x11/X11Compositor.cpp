#include "platform/linux/x11/X11Compositor.h"

#include "platform/linux/x11/X11Display.h"

#include <memory>
#include <string>

#include <X11/Xlib.h>

namespace parlomatic::platform {

bool isCompositingActive()
{
    const X11Display display(XOpenDisplay(nullptr));
    if (!display) {
        return false;
    }
    const std::string name = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display.get()));
    const Atom selection = XInternAtom(display.get(), name.c_str(), False);
    return XGetSelectionOwner(display.get(), selection) != 0;
}

} // namespace parlomatic::platform
