#pragma once

#include "selection/KeyPaster.h"

#include <memory>

// Xlib's display type, declared here so that including this header brings in none of its macros.
struct _XDisplay; // NOLINT(bugprone-reserved-identifier): Xlib's own name for its display

namespace parlomatic::platform {

// Ctrl+V through the XTest extension, by keysym, so any keyboard layout works; a layout without a
// "v" gets one bound to a spare key code. Uses a display connection of its own, opened at the
// first paste and kept.
class X11KeyPaster final : public KeyPaster {
public:
    // On a Wayland session the keys reach XWayland's windows only: `xwaylandOnly` makes
    // reachesFocusOf() ask XWayland whose window has its focus.
    explicit X11KeyPaster(bool xwaylandOnly = false);
    ~X11KeyPaster() override;
    X11KeyPaster(const X11KeyPaster&) = delete;
    X11KeyPaster& operator=(const X11KeyPaster&) = delete;

    std::expected<void, std::string> pasteShortcut() override;
    // On a connection of its own for each copy.
    std::optional<ClipboardFormats> copyClipboard(std::chrono::milliseconds ownerWait, qsizetype maxBytes) override;
    // Changes a property of a window of the toolkit's own from this connection: the toolkit takes
    // the server's time from the notification it gets, and `then` runs once it has.
    void refreshToolkitTime(std::function<void()> then) override;
    // On its own connection, as it is asked from the accessibility layer's thread.
    bool reachesFocusOf(Pid pid) override;

private:
    bool open();

    struct CloseDisplay {
        void operator()(_XDisplay* display) const;
    };
    std::unique_ptr<_XDisplay, CloseDisplay> m_display;
    bool m_xwaylandOnly;
    std::unique_ptr<_XDisplay, CloseDisplay> m_focusDisplay;
    // A window of the toolkit's, never shown, whose property changes carry the server's time to it.
    class TimeWatch;
    std::unique_ptr<TimeWatch> m_timeWatch;
};

} // namespace parlomatic::platform
