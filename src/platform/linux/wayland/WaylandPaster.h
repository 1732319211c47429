#pragma once

#include "selection/WindowPaster.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace parlomatic::platform {

// The key held while another is pressed.
enum class KeyModifier : std::uint8_t { none, shift, control };

using parlomatic::ClipboardFormats;

// The paste into native Wayland windows, on a Wayland connection of its own. It sees and sets the
// clipboard as a clipboard manager does (wlroots-based compositors such as sway, and KWin), and
// sends Ctrl+V through a virtual keyboard with a US keymap of its own (wlroots) or through KWin's
// fake input (granted to the program whose desktop entry lists `org_kde_kwin_fake_input` in
// `X-KDE-Wayland-Interfaces`). GUI thread only: the connection is read from the Qt event loop.
class WaylandPaster final : public WindowPaster {
public:
    // Nothing when there is no Wayland session, or its compositor does not open the clipboard to
    // a client of ours (GNOME Shell).
    static std::unique_ptr<WaylandPaster> connect();
    ~WaylandPaster() override;
    WaylandPaster(const WaylandPaster&) = delete;
    WaylandPaster& operator=(const WaylandPaster&) = delete;

    bool canSendKeys() const override;
    // The compositor's clipboard is copied first (an owner must answer each format within
    // WriteBack::clipboardOwnerWait, up to WriteBack's limit), unless our X11 side holds it: then
    // `userClipboard`, copied from there, is kept.
    std::expected<std::unique_ptr<PasteLease>, std::string>
    paste(const QString& text, std::optional<ClipboardFormats> userClipboard) override;
    std::optional<ClipboardFormats> served() const override;
    void offer(const QString& text) override;
    // `key` (as the kernel numbers keys, e.g. 102 for Home) pressed and released with `held` down,
    // through the same keyboard as the paste; false where the compositor lets us send no keys.
    bool pressKey(KeyModifier held, uint32_t key);

    // What the clipboard holds now (under a paste of ours not yet put back, what it held before);
    // empty when it holds nothing, nothing when its owner did not answer in time or offered more
    // than the limit.
    std::optional<ClipboardFormats> read();
    // Puts `formats` on the clipboard (none: empties it), served from this connection until
    // something else is copied.
    void hold(ClipboardFormats formats);

    struct Impl; // the connection and what it serves

private:
    explicit WaylandPaster(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

// The paste of this Wayland session: WaylandPaster where the compositor opens the clipboard to us
// (sway, KWin), GNOME Shell's remote-desktop keys over XWayland's clipboard there; nothing elsewhere.
std::unique_ptr<WindowPaster> windowPasterForSession();

} // namespace parlomatic::platform
