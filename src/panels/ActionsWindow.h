#pragma once

#include "selection/ActionsPanel.h"

#include <QWidget>

namespace parlomatic {

class ActionState;
class ActionsView;
class Preferences;

// The floating actions panel: a frameless, translucent tool window above all others that never
// takes the keyboard focus, so showing or clicking it leaves the application with the selection
// active. It shows an ActionsView centred in a transparent margin that leaves room for the strip's
// shadow. Created hidden, once, and reused for every selection.
class ActionsWindow final : public QWidget, public ActionsPanel {
    Q_OBJECT

public:
    // `identifier` names the window (the bundle identifier). The panel's size is fixed here, from
    // the full `write` row, whatever the state's type is now or later.
    ActionsWindow(ActionState& state, Preferences& preferences, const QString& identifier, QWidget* parent = nullptr);
    ~ActionsWindow() override;

    bool isOpen() const override { return m_isOpen; }
    void close() override;
    void setFrame(const QRect& frame) override;
    void orderFrontWithoutActivating() override;
    // The full row's size plus 35 by 20 pixels for the shadow.
    QSize paddedSize() const override { return m_paddedSize; }

    ActionsView* view() const { return m_view; }

private:
    bool m_isOpen = false;
    ActionsView* m_view;
    QSize m_paddedSize;
};

} // namespace parlomatic
