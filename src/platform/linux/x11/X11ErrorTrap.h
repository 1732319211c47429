#pragma once

#include <X11/Xlib.h>

#include <optional>
#include <string>

namespace parlomatic::platform {

// Catches the Xlib errors of one display connection while it exists, so that a failing request
// is reported to the code that made it instead of ending the process or vanishing in a handler
// of the whole process. Errors of other connections go on to the handler that was installed before.
// One trap at a time, on one thread.
class X11ErrorTrap {
public:
    explicit X11ErrorTrap(Display* display);
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

    // Waits until the server has handled every request made so far; then the first error caught,
    // described ("BadValue (integer parameter out of range for operation), request 132.2"), or nothing.
    std::optional<std::string> sync();

private:
    static int handle(Display* display, XErrorEvent* event);

    Display* m_display;
    XErrorHandler m_previous;
    std::optional<std::string> m_error;
};

} // namespace parlomatic::platform
