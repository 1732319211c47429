#pragma once

#include "platform/linux/x11/X11Display.h"
#include "selection/KeyPaster.h"

#include <memory>

namespace parlomatic::platform {

// Ctrl+V through the XTest extension, by keysym, so any keyboard layout works; a layout without a
// "v" gets one bound to a spare key code. Uses a display connection of its own, opened at the
// first paste and kept.
class X11KeyPaster final : public selection::KeyPaster {
public:
    // On a Wayland session the keys reach XWayland's windows only: `xwaylandOnly` makes
    // reachesFocusOf() ask XWayland whose window has its focus.
    explicit X11KeyPaster(bool xwaylandOnly = false);
    ~X11KeyPaster() override;
    X11KeyPaster(const X11KeyPaster&) = delete;
    X11KeyPaster& operator=(const X11KeyPaster&) = delete;

    // At once.
    void pasteShortcut(Sent sent) override;
    // On a connection of its own for each copy.
    std::optional<selection::ClipboardFormats> copyClipboard(std::chrono::milliseconds ownerWait,
                                                             qsizetype maxBytes) override;
    // Changes a property of a window of the toolkit's own from this connection: the toolkit takes
    // the server's time from the notification it gets, and `then` runs once it has.
    void refreshToolkitTime(std::function<void()> then) override;
    // On its own connection, as it is asked from the accessibility layer's thread.
    bool reachesFocusOf(selection::Pid pid) override;

private:
    bool open();
    std::expected<void, std::string> sendKeys();

    X11Display m_display;
    bool m_xwaylandOnly;
    X11Display m_focusDisplay;
    // A window of the toolkit's, never shown, whose property changes carry the server's time to it.
    class TimeWatch;
    std::unique_ptr<TimeWatch> m_timeWatch;
};

} // namespace parlomatic::platform
