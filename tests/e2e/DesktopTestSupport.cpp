#include "e2e/DesktopTestSupport.h"

#include <X11/Xlib.h>

namespace parlomatic::test {

std::optional<AxRect> windowGeometry(const QString& windowId)
{
    std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
    if (!display || windowId.isEmpty()) {
        return std::nullopt;
    }
    const Window window = windowId.toULong();
    XWindowAttributes attributes{};
    int x = 0;
    int y = 0;
    Window child = 0;
    if (XGetWindowAttributes(display.get(), window, &attributes) == 0 ||
        !XTranslateCoordinates(display.get(), window, DefaultRootWindow(display.get()), 0, 0, &x, &y, &child)) {
        return std::nullopt;
    }
    return AxRect{double(x), double(y), double(attributes.width), double(attributes.height)};
}

} // namespace parlomatic::test
