#pragma once

#include "selection/WindowPaster.h"
#include "selection/axUtils.h"

#include <QTimer>

#include <chrono>
#include <expected>
#include <functional>
#include <optional>
#include <string>

namespace parlomatic::selection {

// Presses the paste shortcut (Ctrl+V) in whatever window has the keyboard focus, as if the user
// typed it, whatever the keyboard layout. GUI thread only (but reachesFocusOf); never waits for the
// target to read the clipboard (on X11 our own event loop serves it).
class KeyPaster {
public:
    virtual ~KeyPaster() = default;

    // Nothing, or the reason when the key events could not be sent.
    using Sent = std::function<void(std::expected<void, std::string>)>;
    // Sends the keys, then `sent`, on the GUI thread: at once, or once something the keys must wait
    // for has come (the event loop runs meanwhile).
    virtual void pasteShortcut(Sent sent) = 0;
    // A copy of every format of the clipboard, as another application holds it: empty when nobody
    // does, nothing when its owner let a request wait longer than `ownerWait` or it holds more than
    // `maxBytes` (counted while reading). Blocking: called off the GUI thread, on a connection of
    // its own, so that the GUI thread stays free to serve a clipboard of ours meanwhile.
    virtual std::optional<ClipboardFormats> copyClipboard(std::chrono::milliseconds ownerWait, qsizetype maxBytes)
    {
        static_cast<void>(ownerWait);
        static_cast<void>(maxBytes);
        return ClipboardFormats{};
    }
    // Called at the start of a write, before the clipboard is taken: lets the toolkit learn the
    // display server's current time, so that the server does not refuse it the clipboard for a time
    // older than its current owner's (nothing has made the toolkit see an event lately when a write
    // starts from anything but a click of ours). `then` runs on the GUI thread once the toolkit has
    // the time, or after a short bound, never synchronously.
    virtual void refreshToolkitTime(std::function<void()> then) { QTimer::singleShot(0, std::move(then)); }
    // Whether the keys reach the focused window of `pid` (on a Wayland session, X11 keys reach
    // XWayland windows only). May be asked from the accessibility layer's thread.
    virtual bool reachesFocusOf(Pid pid)
    {
        static_cast<void>(pid);
        return true;
    }

protected:
    KeyPaster() = default;
    KeyPaster(const KeyPaster&) = default;
    KeyPaster& operator=(const KeyPaster&) = default;
};

} // namespace parlomatic::selection
