#pragma once

#include "selection/ActionState.h"

#include <QList>
#include <QRegion>
#include <QWidget>

#include <optional>

namespace parlomatic::service {
class Preferences;
} // namespace parlomatic::service

namespace parlomatic::panels {

class CloseButton;

// The content of the actions panel: the action strip and, 4 pixels to its right, the close button.
// The strip is the logo button, a divider and "Translate"; for `write` it goes on with a divider,
// "Replace" with its language picker, a divider and "Improve". It is filled with the text-background
// colour, has rounded corners and a soft shadow below. The view follows the action state's type
// live, and every control runs the state's callback of the moment it is pressed.
class ActionsView : public QWidget {
    Q_OBJECT

public:
    ActionsView(selection::ActionState& state, service::Preferences& preferences, QWidget* parent = nullptr);
    ~ActionsView() override;

    // The size of the row for `write`, whatever the type is now. For use before the view is shown.
    QSize fullRowSizeHint();

    QWidget* strip() const { return m_strip; }
    CloseButton* closeButton() const { return m_closeButton; }
    // The strip's controls in order, those on display for the current type only.
    QList<QWidget*> stripItems() const;
    // The strip's shadow, on by default. Without it the strip gets hard edges and a hairline
    // outline, for desktops that cannot blend translucent windows.
    void setShadowEnabled(bool enabled);
    // The area the strip and the close button cover, in this view's coordinates.
    QRegion opaqueRegion() const;

private:
    // Shows the row for `type`; does nothing when that row is already on display, since the
    // poller writes the type on every step, also when it stays the same.
    void applyType(selection::ActionType type);

    selection::ActionState& m_state;
    QWidget* m_strip = nullptr;
    CloseButton* m_closeButton = nullptr;
    QList<QWidget*> m_items;
    // The divider, Replace, divider and Improve that only the `write` row has.
    QList<QWidget*> m_writeItems;
    std::optional<selection::ActionType> m_shownType;
};

} // namespace parlomatic::panels
