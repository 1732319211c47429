#pragma once

#include "selection/axUtils.h"

#include <chrono>
#include <expected>
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
    // Whether another application's clipboard answers within `limit` (nobody holding it answers
    // at once). Asked before the clipboard is copied: a hung owner would hold the copy up.
    virtual bool clipboardOwnerAnswers(std::chrono::milliseconds limit)
    {
        static_cast<void>(limit);
        return true;
    }
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
