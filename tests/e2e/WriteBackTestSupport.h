#pragma once
// Helpers of WriteBackDesktopTest: keys after which the application is busy, another client's key grab, and
// the Qt window's clipboard image. Included after Qt's headers (Xlib's macros).

#include "platform/linux/x11/X11ErrorTrap.h"
#include "selection/KeyPaster.h"

#include <QByteArray>
#include <QTimer>

#include <csignal>

#include <X11/Xlib.h>

namespace parlomatic::test {

// The real keys, after which the application in front is busy (stopped) for over a second, as one
// that is saving or indexing when Ctrl+V arrives.
class BusyAfterKeys final : public selection::KeyPaster {
public:
    explicit BusyAfterKeys(selection::KeyPaster& keys) : m_keys(keys) {}
    void pasteShortcut(Sent sent) override
    {
        m_keys.pasteShortcut([this, sent = std::move(sent)](std::expected<void, std::string> result) {
            if (result && busyPid != 0) {
                ::kill(busyPid, SIGSTOP);
                QTimer::singleShot(1200, [pid = busyPid] { ::kill(pid, SIGCONT); });
            }
            sent(std::move(result));
        });
    }
    std::optional<selection::ClipboardFormats> copyClipboard(std::chrono::milliseconds wait, qsizetype max) override
    {
        return m_keys.copyClipboard(wait, max);
    }
    bool reachesFocusOf(selection::Pid pid) override { return m_keys.reachesFocusOf(pid); }
    pid_t busyPid = 0;

private:
    selection::KeyPaster& m_keys;
};

// Whether another client can grab Ctrl+Alt+`key` on the root window now (it then lets go at once).
inline bool freeForOthers(Display* display, KeySym key)
{
    for (XEvent event; XPending(display) > 0;) { // a new keyboard map (setxkbmap) moves the key
        XNextEvent(display, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
        }
    }
    const KeyCode code = XKeysymToKeycode(display, key);
    platform::X11ErrorTrap trap(display);
    XGrabKey(display, code, ControlMask | Mod1Mask, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync);
    const bool grabbed = !trap.sync();
    XUngrabKey(display, code, ControlMask | Mod1Mask, DefaultRootWindow(display));
    static_cast<void>(trap.sync());
    return grabbed;
}

// What the Qt window puts on the clipboard beside its text: large enough for an INCR transfer.
inline QByteArray qtWindowImage()
{
    return QByteArray("\x89PNG not really", 16).repeated(65536);
}

} // namespace parlomatic::test
