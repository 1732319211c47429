#pragma once

#include <QRect>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

namespace parlomatic::selection {

// The translation panel as the selection poller and the Translate action drive it: a window that
// translates the text it is given and shows the result. Geometry is in Qt's global coordinates
// (logical pixels, top-left origin). GUI thread only.
class TranslatePanel {
public:
    virtual ~TranslatePanel() = default;

    virtual bool isOpen() const = 0;
    // Hides the panel and makes isOpen() false.
    virtual void close() = 0;

    // Starts a translation of the text into the panel's language; nothing changes nothing.
    virtual void setInputText(const std::optional<QString>& text) = 0;
    // What the panel's own close button runs.
    virtual void setActionClose(std::function<void()> action) = 0;
    // The size the panel is placed with.
    virtual QSize idealSize() const = 0;
    virtual void setFrame(const QRect& frame) = 0;
    // Shows the panel in front and gives it the focus, so its text can be selected and copied;
    // isOpen() becomes true.
    virtual void orderFront() = 0;

protected:
    TranslatePanel() = default;
    TranslatePanel(const TranslatePanel&) = default;
    TranslatePanel& operator=(const TranslatePanel&) = default;
};

} // namespace parlomatic::selection
