#include "platform/linux/x11/X11KeyPaster.h"

// Qt before Xlib, whose macros (Status, Bool) break Qt's headers.
#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>
#include <QWindow>

#include "platform/linux/x11/X11ClipboardCopy.h"
#include "platform/linux/x11/X11ErrorTrap.h"
#include "selection/LogCategories.h"

#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xcb/xproto.h>

#include <utility>
#include <vector>

namespace parlomatic::platform {

namespace {

// A key code without any symbol, bound to `keysym`; 0 when the keyboard has none to spare.
KeyCode bindSpareKeyCode(Display* display, KeySym keysym)
{
    int minCode = 0;
    int maxCode = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    int perCode = 0;
    const UniqueCPtr<KeySym, XFree> map(
        XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &perCode));
    if (!map) {
        return 0;
    }
    KeyCode spare = 0;
    for (int code = maxCode; code >= minCode && spare == 0; --code) {
        bool empty = true;
        for (int i = 0; i < perCode; ++i) {
            empty = empty && map.get()[(code - minCode) * perCode + i] == NoSymbol;
        }
        if (empty) {
            spare = static_cast<KeyCode>(code);
        }
    }
    if (spare != 0) {
        // Left bound: the target maps the key code when it reads the event, which may be later.
        KeySym symbols[2] = {keysym, keysym};
        XChangeKeyboardMapping(display, spare, 2, symbols, 1);
    }
    return spare;
}

// The user may still hold the keys of the shortcut that asked for this paste: with Alt down, Ctrl+V
// would arrive as Ctrl+Alt+V. Those are let go (the user's own release comes later and does nothing).
void releaseHeldModifiers(Display* display)
{
    char held[32] = {};
    XQueryKeymap(display, held);
    for (const KeySym symbol : {XK_Alt_L, XK_Alt_R, XK_Shift_L, XK_Shift_R, XK_Super_L, XK_Super_R, XK_Meta_L,
                                XK_Meta_R, XK_ISO_Level3_Shift}) {
        const KeyCode code = XKeysymToKeycode(display, symbol);
        if (code != 0 && (held[code / 8] & (1 << (code % 8))) != 0) {
            XTestFakeKeyEvent(display, code, False, CurrentTime);
        }
    }
}

// Long enough for a loaded toolkit to read its events; a toolkit that does not see the change at
// all (another window manager's quirk) only loses the bound.
constexpr int timeNoticeBoundMs = 300;

} // namespace

// Sees the toolkit's own events before it handles them: the notification of our change is the sign
// that the toolkit has the server's time once it has handled it, a turn of the event loop later.
class X11KeyPaster::TimeWatch final : public QAbstractNativeEventFilter {
public:
    explicit TimeWatch(Atom atom) : m_atom(atom)
    {
        m_owner.create();
        m_window = Window(m_owner.winId());
        m_bound.setSingleShot(true);
        QObject::connect(&m_bound, &QTimer::timeout, [this] { release(); });
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~TimeWatch() override { QCoreApplication::instance()->removeNativeEventFilter(this); }
    TimeWatch(const TimeWatch&) = delete;
    TimeWatch& operator=(const TimeWatch&) = delete;

    void await(std::function<void()> then)
    {
        m_waiting.push_back(std::move(then));
        if (!m_bound.isActive()) {
            m_bound.start(timeNoticeBoundMs);
        }
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override
    {
        static_cast<void>(result);
        if (m_waiting.empty() || type != "xcb_generic_event_t") {
            return false;
        }
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) {
            return false;
        }
        const auto* notify = static_cast<const xcb_property_notify_event_t*>(message);
        if (notify->window == m_window && notify->atom == m_atom) {
            // The toolkit takes the time from this event after the filters have seen it.
            QTimer::singleShot(0, &m_bound, [this] { release(); });
        }
        return false;
    }

    Window window() const { return m_window; }

private:
    void release()
    {
        m_bound.stop();
        auto waiting = std::exchange(m_waiting, {});
        for (auto& then : waiting) {
            then();
        }
    }

    QWindow m_owner;
    Window m_window = 0;
    Atom m_atom;
    QTimer m_bound;
    std::vector<std::function<void()>> m_waiting;
};

X11KeyPaster::X11KeyPaster(bool xwaylandOnly) : m_xwaylandOnly(xwaylandOnly) {}
X11KeyPaster::~X11KeyPaster() = default;

bool X11KeyPaster::open()
{
    if (!m_display) {
        m_display.reset(XOpenDisplay(nullptr));
    }
    return m_display != nullptr;
}

std::optional<selection::ClipboardFormats> X11KeyPaster::copyClipboard(std::chrono::milliseconds ownerWait,
                                                                       qsizetype maxBytes)
{
    return copyX11Clipboard(ownerWait, maxBytes);
}

bool X11KeyPaster::reachesFocusOf(selection::Pid pid)
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
        unsigned char* raw = nullptr;
        const int status =
            XGetWindowProperty(display, window, wmPid, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &raw);
        const UniqueCPtr<unsigned char, XFree> data(raw);
        if (status == Success && data) {
            const bool same =
                format == 32 && count == 1 && selection::Pid(*reinterpret_cast<unsigned long*>(data.get())) == pid;
            static_cast<void>(trap.sync());
            if (!same) {
                qCDebug(x11Log) << "XWayland's focused window is not of pid" << pid << ": our keys would miss it";
            }
            return same;
        }
        Window root = None;
        Window parent = None;
        Window* children = nullptr;
        unsigned int childCount = 0;
        const Status queried = XQueryTree(display, window, &root, &parent, &children, &childCount);
        const UniqueCPtr<Window, XFree> childList(children);
        if (queried == 0) {
            break;
        }
        window = parent == root ? None : parent;
    }
    static_cast<void>(trap.sync());
    qCDebug(x11Log) << "No XWayland window has the focus (a native one has): our keys do not reach pid" << pid;
    return false;
}

void X11KeyPaster::refreshToolkitTime(std::function<void()> then)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !open()) {
        QTimer::singleShot(0, std::move(then));
        return;
    }
    Display* display = m_display.get();
    const Atom atom = XInternAtom(display, "PARLOMATIC_TIME", False);
    if (!m_timeWatch) {
        m_timeWatch = std::make_unique<TimeWatch>(atom);
    }
    m_timeWatch->await(std::move(then));
    X11ErrorTrap trap(display);
    XChangeProperty(display, m_timeWatch->window(), atom, XA_STRING, 8, PropModeReplace, nullptr, 0);
    static_cast<void>(trap.sync());
}

void X11KeyPaster::pasteShortcut(Sent sent)
{
    sent(sendKeys());
}

std::expected<void, std::string> X11KeyPaster::sendKeys()
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
    releaseHeldModifiers(display);
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
