#include "platform/linux/x11/X11ErrorTrap.h"

#include <array>

namespace parlomatic::platform {

namespace {

X11ErrorTrap* activeTrap = nullptr;

} // namespace

X11ErrorTrap::X11ErrorTrap(Display* display) : m_display(display)
{
    // Requests made before the trap must not be blamed on it.
    XSync(m_display, False);
    m_previous = XSetErrorHandler(&X11ErrorTrap::handle);
    activeTrap = this;
}

X11ErrorTrap::~X11ErrorTrap()
{
    XSync(m_display, False);
    activeTrap = nullptr;
    XSetErrorHandler(m_previous);
}

std::optional<std::string> X11ErrorTrap::sync()
{
    XSync(m_display, False);
    return m_error;
}

int X11ErrorTrap::handle(Display* display, XErrorEvent* event)
{
    X11ErrorTrap* trap = activeTrap;
    if (trap == nullptr || display != trap->m_display) {
        return trap != nullptr && trap->m_previous != nullptr ? trap->m_previous(display, event) : 0;
    }
    if (!trap->m_error) {
        std::array<char, 256> text{};
        XGetErrorText(display, event->error_code, text.data(), static_cast<int>(text.size()));
        trap->m_error = std::string(text.data()) + ", request " + std::to_string(event->request_code) + "." +
                        std::to_string(event->minor_code);
    }
    return 0;
}

} // namespace parlomatic::platform
