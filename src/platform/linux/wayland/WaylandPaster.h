#pragma once

#include "selection/WindowPaster.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace parlomatic::platform {

// The key held while another is pressed.
enum class KeyModifier : std::uint8_t { none, shift, control };

using parlomatic::selection::ClipboardFormats;

// The paste into native Wayland windows, on a Wayland connection of its own. It sees and sets the
// clipboard as a clipboard manager does (wlroots-based compositors such as sway, and KWin), and
// sends Ctrl+V through a virtual keyboard with a US keymap of its own (wlroots) or through KWin's
// fake input (granted to the program whose desktop entry lists `org_kde_kwin_fake_input` in
// `X-KDE-Wayland-Interfaces`). GUI thread only: the connection is read from the Qt event loop.
class WaylandPaster final : public selection::WindowPaster {
public:
    // A connection to the compositor of the Wayland display named `displayName` (the session's
    // WAYLAND_DISPLAY); nothing when that is empty, or the compositor does not open the clipboard to
    // a client of ours (GNOME Shell).
    static std::unique_ptr<WaylandPaster> connect(const std::string& displayName);
    ~WaylandPaster() override;
    WaylandPaster(const WaylandPaster&) = delete;
    WaylandPaster& operator=(const WaylandPaster&) = delete;

    bool canSendKeys() const override;
    // `userClipboard` is what copyClipboard() found; under a paste of ours not given back yet, what
    // that one keeps is kept instead.
    std::expected<std::unique_ptr<selection::PasteLease>, selection::PasteError>
    paste(const QString& text, std::optional<selection::ClipboardFormats> userClipboard) override;
    std::optional<selection::ClipboardFormats> served() const override;
    bool hasClipboardOfItsOwn() const override { return true; }
    // The compositor's clipboard: every format, each of which its owner must start handing over
    // within WriteBack::clipboardOwnerWait, up to WriteBack's limit; read off the GUI thread.
    void copyClipboard(QObject* context, std::function<void(std::optional<selection::ClipboardFormats>)> done) override;
    void offer(const QString& text) override;
    // `key` (as the kernel numbers keys, e.g. 102 for Home) pressed and released with `held` down,
    // through the same keyboard as the paste; false where the compositor lets us send no keys.
    bool pressKey(KeyModifier held, uint32_t key);

    // Puts `formats` on the clipboard (none: empties it), served from this connection until
    // something else is copied.
    void hold(selection::ClipboardFormats formats);

    struct Impl; // the connection and what it serves

private:
    explicit WaylandPaster(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

} // namespace parlomatic::platform
