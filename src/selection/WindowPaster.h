#pragma once

#include "selection/WriteError.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace parlomatic::selection {

// A clipboard's formats with their bytes, in the order its owner offered them.
using ClipboardFormats = std::vector<std::pair<QString, QByteArray>>;

// Our text on the clipboard for one paste, with what the user had there before it. The user's
// clipboard comes back only through giveBack(): the write-back calls it once the paste has shown in
// the application, never on a timer of its own. GUI thread only.
class PasteLease {
public:
    virtual ~PasteLease() = default;
    // Whether any application (the target, or a clipboard manager) has asked for our text yet.
    virtual bool fetched() const = 0;
    // Puts the user's clipboard back, where it could be kept and nothing else was copied since our
    // text; otherwise our text stays.
    virtual void giveBack() = 0;

protected:
    PasteLease() = default;
    PasteLease(const PasteLease&) = default;
    PasteLease& operator=(const PasteLease&) = default;
};

// A paste into the focused window by way of the compositor's own clipboard and keys (a Wayland
// session), for the applications that do not let their text be written directly. GUI thread only.
class WindowPaster {
public:
    virtual ~WindowPaster() = default;

    // Whether the paste keys can be sent; without them only offer() is of use.
    virtual bool canSendKeys() const = 0;
    // Whether the compositor's clipboard is one of its own, which copyClipboard() copies; otherwise
    // the paste goes through XWayland's, which the write-back copies through X11.
    virtual bool hasClipboardOfItsOwn() const { return false; }
    // Copies that clipboard without holding up the GUI thread, then `done` on the GUI thread unless
    // `context` is gone (nothing: it could not be kept).
    // NOLINTNEXTLINE(performance-unnecessary-value-param): by value for the overrides, which keep it
    virtual void copyClipboard(QObject* context, std::function<void(std::optional<ClipboardFormats>)> done)
    {
        static_cast<void>(context);
        done(std::nullopt);
    }
    // The lease of a paste, or why it was not made.
    using PasteResult = std::expected<std::unique_ptr<PasteLease>, PasteError>;
    using Pasted = std::function<void(PasteResult)>;
    // Puts `text` on the clipboard and sends the paste keys, keeping `userClipboard` (as copied
    // before the checks; nothing: it could not be kept) to give back. Why not, when the clipboard
    // could not be taken or the keys could not be sent (the clipboard is then given back at once).
    // For a paster whose keys go out at once; one whose keys wait for something implements
    // pasteThen() instead.
    virtual PasteResult
    paste(const QString& /*text*/,
          std::optional<ClipboardFormats> /*userClipboard*/) // NOLINT(performance-unnecessary-value-param)
    {
        return std::unexpected(
            PasteError{.kind = PasteError::Kind::noKeys, .message = "this paster's keys go out through pasteThen()"});
    }
    // The same, handing the outcome to `pasted` on the GUI thread: at once, or once what the keys
    // wait for has come (the event loop runs meanwhile). What the write-back calls.
    virtual void pasteThen(const QString& text, std::optional<ClipboardFormats> userClipboard,
                           Pasted pasted) // NOLINT(performance-unnecessary-value-param): overriders keep it
    {
        pasted(paste(text, std::move(userClipboard)));
    }
    // Puts `text` on the clipboard for the user to paste; it stays there.
    virtual void offer(const QString& text) = 0;
    // What this paster itself serves as the clipboard now (the user's content given back, or a
    // paste's text), or nothing when the clipboard is somebody else's: a write on the other side of a
    // mixed session copies it from here rather than asking for it through the compositor.
    virtual std::optional<ClipboardFormats> served() const { return std::nullopt; }

protected:
    WindowPaster() = default;
    WindowPaster(const WindowPaster&) = default;
    WindowPaster& operator=(const WindowPaster&) = default;
};

} // namespace parlomatic::selection
