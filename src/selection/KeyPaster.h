#pragma once

#include "selection/WindowPaster.h"
#include "selection/axUtils.h"

#include <chrono>
#include <expected>
#include <optional>
#include <string>

namespace parlomatic {

// Presses the paste shortcut (Ctrl+V) in whatever window has the keyboard focus, as if the user
// typed it, whatever the keyboard layout. GUI thread only (but reachesFocusOf); returns without
// waiting for the target to read the clipboard (on X11 our own event loop serves it).
class KeyPaster {
public:
    virtual ~KeyPaster() = default;

    // The reason when the key events could not be sent.
    virtual std::expected<void, std::string> pasteShortcut() = 0;
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
    // Called at the start of a write, at least one turn of the event loop before the clipboard is
    // taken: lets the toolkit learn the display server's current time, so that the server does not
    // refuse it the clipboard for a time older than its current owner's (nothing has made the
    // toolkit see an event lately when a write starts from anything but a click of ours).
    virtual void refreshToolkitTime() {}
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

} // namespace parlomatic
