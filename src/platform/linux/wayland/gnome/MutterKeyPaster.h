#pragma once

#include "platform/linux/x11/X11KeyPaster.h"
#include "selection/KeyPaster.h"

#include <QObject>

#include <vector>

namespace parlomatic::platform {

// Ctrl+V into the focused window of GNOME Shell, through a remote-desktop session of its own that
// lasts for the keys only (the shell shows its remote-desktop indicator that long). The clipboard
// is XWayland's, which GNOME Shell hands on to native windows.
class MutterKeyPaster final : public selection::KeyPaster {
public:
    // Whether GNOME Shell's remote-desktop service is on the session bus.
    static bool available();

    // Once GNOME Shell has taken our clipboard; the keys go from the thread pool.
    void pasteShortcut(Sent sent) override;
    // `keysym` pressed and released with the `held` keysyms down, in a session of its own.
    static std::expected<void, std::string> pressKeysym(const std::vector<uint>& held, uint keysym);

private:
    X11KeyPaster m_x11{true};
    // The continuations of a paste in progress: dropped with the paster.
    QObject m_context;
};

} // namespace parlomatic::platform
