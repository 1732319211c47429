#pragma once

#include <QString>

#include <expected>
#include <string>

namespace parlomatic {

// A paste into the focused window by way of the compositor's own clipboard and keys (a Wayland
// session), for the applications that do not let their text be written directly. It keeps the
// user's clipboard and puts it back once the application has read the text. GUI thread only.
class WindowPaster {
public:
    virtual ~WindowPaster() = default;

    // Whether the paste keys can be sent; without them only offer() is of use.
    virtual bool canSendKeys() const = 0;
    // Puts `text` on the clipboard, sends the paste keys, and gives the user's clipboard back
    // later. The reason when the keys could not be sent (the clipboard is then given back at once).
    virtual std::expected<void, std::string> paste(const QString& text) = 0;
    // Puts `text` on the clipboard for the user to paste; it stays there.
    virtual void offer(const QString& text) = 0;

protected:
    WindowPaster() = default;
    WindowPaster(const WindowPaster&) = default;
    WindowPaster& operator=(const WindowPaster&) = default;
};

} // namespace parlomatic
