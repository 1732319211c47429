#pragma once

#include <QRect>
#include <QSize>

namespace parlomatic::selection {

// The floating actions panel as the selection poller drives it. The real panel is a non-activating
// tool window; showing it must never take the focus from the application that holds the selection.
// All geometry is in Qt's global coordinates: logical pixels, origin at the top-left of the desktop.
// GUI thread only.
class ActionsPanel {
public:
    virtual ~ActionsPanel() = default;

    // True from orderFrontWithoutActivating() until close().
    virtual bool isOpen() const = 0;
    // Hides the panel and makes isOpen() false. Harmless when already closed.
    virtual void close() = 0;
    // Moves and resizes the panel, shown or not, exactly to `frame` (the caller keeps it on screen).
    virtual void setFrame(const QRect& frame) = 0;
    // Shows the panel above other windows without activating Parlomatic; isOpen() becomes true.
    virtual void orderFrontWithoutActivating() = 0;
    // The panel's size including its shadow padding, in logical pixels.
    virtual QSize paddedSize() const = 0;

protected:
    ActionsPanel() = default;
    ActionsPanel(const ActionsPanel&) = default;
    ActionsPanel& operator=(const ActionsPanel&) = default;
};

} // namespace parlomatic::selection
