#include "platform/linux/X11WindowList.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <span>

namespace parlomatic::platform {

namespace {

struct DisplayClose {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
struct XFreeDeleter {
    void operator()(unsigned char* data) const
    {
        if (data != nullptr) {
            XFree(data);
        }
    }
};
using XData = std::unique_ptr<unsigned char, XFreeDeleter>;

// A window can vanish between listing and querying it; Xlib's default handler would end the process.
int ignoreXErrors(Display*, XErrorEvent*)
{
    return 0;
}

// 32-bit property items arrive as longs on the client side.
std::optional<std::span<const unsigned long>> readLongs(Display* display, Window window, Atom property, Atom type,
                                                        XData& holder)
{
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType, &actualFormat,
                                          &count, &remaining, &data);
    holder.reset(data);
    if (status != Success || data == nullptr || actualType != type || actualFormat != 32) {
        return std::nullopt;
    }
    return std::span<const unsigned long>(reinterpret_cast<const unsigned long*>(data), count);
}

} // namespace

struct X11WindowList::State {
    std::unique_ptr<Display, DisplayClose> display;
    Atom clientListStacking = None;
    Atom windowType = None;
    Atom typeNormal = None;
    Atom typeDialog = None;
    Atom wmState = None;
    Atom stateHidden = None;
    Atom wmPid = None;
};

X11WindowList::X11WindowList() : m_state(std::make_unique<State>())
{
    m_state->display.reset(XOpenDisplay(nullptr));
    if (!m_state->display) {
        return;
    }
    XSetErrorHandler(ignoreXErrors);
    Display* display = m_state->display.get();
    m_state->clientListStacking = XInternAtom(display, "_NET_CLIENT_LIST_STACKING", False);
    m_state->windowType = XInternAtom(display, "_NET_WM_WINDOW_TYPE", False);
    m_state->typeNormal = XInternAtom(display, "_NET_WM_WINDOW_TYPE_NORMAL", False);
    m_state->typeDialog = XInternAtom(display, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    m_state->wmState = XInternAtom(display, "_NET_WM_STATE", False);
    m_state->stateHidden = XInternAtom(display, "_NET_WM_STATE_HIDDEN", False);
    m_state->wmPid = XInternAtom(display, "_NET_WM_PID", False);
}

X11WindowList::~X11WindowList() = default;

bool X11WindowList::isConnected() const
{
    return m_state->display != nullptr;
}

std::optional<Pid> X11WindowList::frontmostWindowOwnerPid()
{
    Display* display = m_state->display.get();
    if (display == nullptr) {
        return std::nullopt;
    }
    XData listHolder;
    const auto windows =
        readLongs(display, DefaultRootWindow(display), m_state->clientListStacking, XA_WINDOW, listHolder);
    if (!windows) {
        return std::nullopt;
    }
    // Bottom to top; walk from the top.
    for (auto it = windows->rbegin(); it != windows->rend(); ++it) {
        const auto window = static_cast<Window>(*it);
        XData holder;
        if (const auto types = readLongs(display, window, m_state->windowType, XA_ATOM, holder)) {
            // The first type is the preferred one; the others are fallbacks for older managers.
            if (!types->empty() && (*types)[0] != m_state->typeNormal && (*types)[0] != m_state->typeDialog) {
                continue;
            }
        }
        if (const auto states = readLongs(display, window, m_state->wmState, XA_ATOM, holder)) {
            bool hidden = false;
            for (const unsigned long state : *states) {
                hidden = hidden || state == m_state->stateHidden;
            }
            if (hidden) {
                continue;
            }
        }
        const auto pid = readLongs(display, window, m_state->wmPid, XA_CARDINAL, holder);
        if (!pid || pid->empty() || (*pid)[0] == 0 || (*pid)[0] > 0x7fffffffUL) {
            continue;
        }
        return static_cast<Pid>((*pid)[0]);
    }
    return std::nullopt;
}

} // namespace parlomatic::platform
