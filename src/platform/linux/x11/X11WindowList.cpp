#include "platform/linux/x11/X11WindowList.h"

#include "platform/linux/desktop/ApplicationProcess.h"
#include "platform/linux/x11/X11Display.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <algorithm>
#include <span>
#include <unordered_map>
#include <vector>

namespace parlomatic::platform {

namespace {

using XData = UniqueCPtr<unsigned char, XFree>;

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
    X11Display display;
    Atom clientListStacking = None;
    Atom windowType = None;
    Atom typeNormal = None;
    Atom typeDialog = None;
    Atom wmState = None;
    Atom stateHidden = None;
    Atom wmPid = None;
    Atom currentDesktop = None;
    Atom wmDesktop = None;

    // What the window manager published, kept until a PropertyNotify says it changed: the
    // steady state costs no round trip to the X server (each one wakes the server: ~0.1 ms).
    struct WindowFacts {
        bool ordinary = false;
        bool hidden = false;
        std::optional<selection::Pid> pid;
        // Absent: the window manager keeps no desktops, or the window is on all of them.
        std::optional<unsigned long> desktop;
    };
    bool stackingValid = false;
    bool desktopValid = false;
    std::optional<unsigned long> current;
    std::vector<Window> stacking;
    std::unordered_map<Window, WindowFacts> windows;
    unsigned long layoutChanges = 0;
    const selection::Pid ownPid = applicationProcess();

    void drainEvents();
    const WindowFacts& facts(Window window);
};

void X11WindowList::State::drainEvents()
{
    Display* dpy = display.get();
    while (XEventsQueued(dpy, QueuedAfterReading) > 0) {
        XEvent event;
        XNextEvent(dpy, &event);
        if (event.type == ConfigureNotify) {
            // Our own windows (the strip moving with the selection) move nothing the user reads.
            const auto known = windows.find(event.xconfigure.window);
            if (known == windows.end() || known->second.pid != ownPid) {
                ++layoutChanges;
            }
        } else if (event.type == PropertyNotify) {
            if (event.xproperty.window == DefaultRootWindow(dpy)) {
                if (event.xproperty.atom == clientListStacking) {
                    stackingValid = false;
                    ++layoutChanges;
                } else if (event.xproperty.atom == currentDesktop) {
                    desktopValid = false;
                    ++layoutChanges;
                }
            } else {
                windows.erase(event.xproperty.window);
            }
        } else if (event.type == DestroyNotify) {
            windows.erase(event.xdestroywindow.window);
        }
    }
}

const X11WindowList::State::WindowFacts& X11WindowList::State::facts(Window window)
{
    if (const auto known = windows.find(window); known != windows.end()) {
        return known->second;
    }
    Display* dpy = display.get();
    // Watch before reading, so a change after the read is not missed.
    XSelectInput(dpy, window, PropertyChangeMask | StructureNotifyMask);
    WindowFacts result;
    XData holder;
    const auto types = readLongs(dpy, window, windowType, XA_ATOM, holder);
    // The first type is the preferred one; the others are fallbacks for older managers.
    result.ordinary = !types || types->empty() || (*types)[0] == typeNormal || (*types)[0] == typeDialog;
    if (const auto states = readLongs(dpy, window, wmState, XA_ATOM, holder)) {
        for (const unsigned long state : *states) {
            result.hidden = result.hidden || state == stateHidden;
        }
    }
    const auto pidValue = readLongs(dpy, window, wmPid, XA_CARDINAL, holder);
    if (pidValue && !pidValue->empty() && (*pidValue)[0] != 0 && (*pidValue)[0] <= 0x7fffffffUL) {
        result.pid = static_cast<selection::Pid>((*pidValue)[0]);
    }
    const auto desktopValue = readLongs(dpy, window, wmDesktop, XA_CARDINAL, holder);
    constexpr unsigned long allDesktops = 0xFFFFFFFFUL;
    if (desktopValue && !desktopValue->empty() && (*desktopValue)[0] != allDesktops) {
        result.desktop = (*desktopValue)[0];
    }
    return windows.insert_or_assign(window, result).first->second;
}

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
    m_state->currentDesktop = XInternAtom(display, "_NET_CURRENT_DESKTOP", False);
    m_state->wmDesktop = XInternAtom(display, "_NET_WM_DESKTOP", False);
    XSelectInput(display, DefaultRootWindow(display), PropertyChangeMask);
}

X11WindowList::~X11WindowList() = default;

bool X11WindowList::isConnected() const
{
    return m_state->display != nullptr;
}

void X11WindowList::walkFrontToBack(const std::function<bool(unsigned long window, selection::Pid pid)>& visit)
{
    Display* display = m_state->display.get();
    if (display == nullptr) {
        return;
    }
    m_state->drainEvents();
    if (!m_state->stackingValid) {
        XData listHolder;
        const auto windows =
            readLongs(display, DefaultRootWindow(display), m_state->clientListStacking, XA_WINDOW, listHolder);
        m_state->stacking.clear();
        if (windows) {
            m_state->stacking.assign(windows->begin(), windows->end());
        }
        m_state->stackingValid = windows.has_value();
        // Forget windows that left the stack.
        std::erase_if(m_state->windows, [this](const auto& entry) {
            return std::find(m_state->stacking.begin(), m_state->stacking.end(), entry.first) ==
                   m_state->stacking.end();
        });
    }
    if (!m_state->desktopValid) {
        XData holder;
        const auto current =
            readLongs(display, DefaultRootWindow(display), m_state->currentDesktop, XA_CARDINAL, holder);
        m_state->current = current && !current->empty() ? std::optional((*current)[0]) : std::nullopt;
        m_state->desktopValid = true;
    }
    // Bottom to top; walk from the top. Windows on other desktops are not visible, however high
    // they stand in the stack.
    for (auto it = m_state->stacking.rbegin(); it != m_state->stacking.rend(); ++it) {
        const State::WindowFacts& facts = m_state->facts(*it);
        const bool onCurrentDesktop = !facts.desktop || !m_state->current || facts.desktop == m_state->current;
        if (facts.ordinary && !facts.hidden && facts.pid && onCurrentDesktop && visit(*it, *facts.pid)) {
            return;
        }
    }
}

std::optional<selection::Pid> X11WindowList::frontmostWindowOwnerPid()
{
    std::optional<selection::Pid> front;
    walkFrontToBack([&front](unsigned long, selection::Pid pid) {
        front = pid;
        return true;
    });
    return front;
}

unsigned long X11WindowList::layoutChanges()
{
    if (m_state->display) {
        m_state->drainEvents();
    }
    return m_state->layoutChanges;
}

std::optional<selection::AxRect> X11WindowList::windowGeometry(selection::Pid pid)
{
    std::optional<Window> found;
    walkFrontToBack([&found, pid](unsigned long window, selection::Pid owner) {
        if (owner == pid) {
            found = window;
        }
        return found.has_value();
    });
    Display* display = m_state->display.get();
    XWindowAttributes attributes{};
    int x = 0;
    int y = 0;
    Window child = 0;
    if (!found || XGetWindowAttributes(display, *found, &attributes) == 0 ||
        !XTranslateCoordinates(display, *found, DefaultRootWindow(display), 0, 0, &x, &y, &child)) {
        return std::nullopt;
    }
    return selection::AxRect{
        .x = double(x), .y = double(y), .width = double(attributes.width), .height = double(attributes.height)};
}

} // namespace parlomatic::platform
