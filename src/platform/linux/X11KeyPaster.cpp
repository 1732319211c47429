#include "platform/linux/X11KeyPaster.h"

// Qt before Xlib, whose macros (Status, Bool) break Qt's headers.
#include <QGuiApplication>
#include <QWindow>

#include "platform/linux/X11ClipboardCopy.h"
#include "platform/linux/X11ErrorTrap.h"

#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace parlomatic::platform {

namespace {

// A key code without any symbol, bound to `keysym`; 0 when the keyboard has none to spare.
KeyCode bindSpareKeyCode(Display* display, KeySym keysym)
{
    int minCode = 0;
    int maxCode = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    int perCode = 0;
    KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &perCode);
    if (map == nullptr) {
        return 0;
    }
    KeyCode spare = 0;
    for (int code = maxCode; code >= minCode && spare == 0; --code) {
        bool empty = true;
        for (int i = 0; i < perCode; ++i) {
            empty = empty && map[(code - minCode) * perCode + i] == NoSymbol;
        }
        if (empty) {
            spare = static_cast<KeyCode>(code);
        }
    }
    XFree(map);
    if (spare != 0) {
        // Left bound: the target maps the key code when it reads the event, which may be later.
        KeySym symbols[2] = {keysym, keysym};
        XChangeKeyboardMapping(display, spare, 2, symbols, 1);
    }
    return spare;
}

} // namespace

X11KeyPaster::X11KeyPaster(bool xwaylandOnly) : m_xwaylandOnly(xwaylandOnly) {}
X11KeyPaster::~X11KeyPaster() = default;

void X11KeyPaster::CloseDisplay::operator()(_XDisplay* display) const
{
    XCloseDisplay(display);
}

bool X11KeyPaster::open()
{
    if (!m_display) {
        m_display.reset(XOpenDisplay(nullptr));
    }
    return m_display != nullptr;
}

std::optional<ClipboardFormats> X11KeyPaster::copyClipboard(std::chrono::milliseconds ownerWait, qsizetype maxBytes)
{
    return copyX11Clipboard(ownerWait, maxBytes);
}

bool X11KeyPaster::reachesFocusOf(Pid pid)
{
    if (!m_xwaylandOnly) {
        return true;
    }
    if (!m_focusDisplay) {
        m_focusDisplay.reset(XOpenDisplay(nullptr));
    }
    Display* display = m_focusDisplay.get();
    if (display == nullptr) {
        return false;
    }
    X11ErrorTrap trap(display);
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    // The compositor gives XWayland's focus to nothing while a native window has it.
    const Atom wmPid = XInternAtom(display, "_NET_WM_PID", False);
    for (Window window = focus; window != None && window != PointerRoot;) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, window, wmPid, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                               &data) == Success &&
            data != nullptr) {
            const bool same = format == 32 && count == 1 && Pid(*reinterpret_cast<unsigned long*>(data)) == pid;
            XFree(data);
            static_cast<void>(trap.sync());
            return same;
        }
        Window root = None;
        Window parent = None;
        Window* children = nullptr;
        unsigned int childCount = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &childCount)) {
            break;
        }
        XFree(children);
        window = parent == root ? None : parent;
    }
    static_cast<void>(trap.sync());
    return false;
}

void X11KeyPaster::refreshToolkitTime()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !open()) {
        return;
    }
    if (!m_timeWindow) {
        m_timeWindow = std::make_unique<QWindow>();
        m_timeWindow->create();
    }
    Display* display = m_display.get();
    X11ErrorTrap trap(display);
    XChangeProperty(display, Window(m_timeWindow->winId()), XInternAtom(display, "PARLOMATIC_TIME", False), XA_STRING,
                    8, PropModeReplace, nullptr, 0);
    static_cast<void>(trap.sync());
}

std::expected<void, std::string> X11KeyPaster::pasteShortcut()
{
    if (!open()) {
        return std::unexpected("the X display cannot be reached");
    }
    Display* display = m_display.get();
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
        return std::unexpected("the X server has no XTest extension");
    }

    X11ErrorTrap trap(display);
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    KeyCode v = XKeysymToKeycode(display, XK_v);
    if (v == 0) {
        v = bindSpareKeyCode(display, XK_v);
    }
    if (control == 0 || v == 0) {
        return std::unexpected("the keyboard has no key for Control or V");
    }
    XTestFakeKeyEvent(display, control, True, CurrentTime);
    XTestFakeKeyEvent(display, v, True, CurrentTime);
    XTestFakeKeyEvent(display, v, False, CurrentTime);
    XTestFakeKeyEvent(display, control, False, CurrentTime);
    if (const std::optional<std::string> failed = trap.sync()) {
        return std::unexpected(*failed);
    }
    return {};
}

} // namespace parlomatic::platform
