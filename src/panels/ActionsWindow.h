#pragma once

#include "selection/ActionsPanel.h"
#include "service/Preferences.h"

#include <QWidget>

namespace parlomatic::selection {
class ActionState;
class TextSelectionPoller;
} // namespace parlomatic::selection

namespace parlomatic::panels {

class ActionsView;

// The floating actions panel: a frameless, translucent tool window above all others that never
// takes the keyboard focus, so showing or clicking it leaves the application with the selection
// active. It shows an ActionsView centred in a transparent margin that leaves room for the strip's
// shadow. Created hidden, once, and reused for every selection.
class ActionsWindow final : public QWidget, public selection::ActionsPanel {
    Q_OBJECT

public:
    // `identifier` names the window (the bundle identifier). The panel's size is fixed here, from
    // the full `write` row, whatever the state's type is now or later.
    ActionsWindow(selection::ActionState& state, service::Preferences& preferences, const QString& identifier,
                  QWidget* parent = nullptr);
    // The panel of the poller's action state; the Replace target lives in `preferences`.
    ActionsWindow(selection::TextSelectionPoller& poller, const QString& identifier,
                  service::Preferences& preferences = service::Preferences::standard());
    ~ActionsWindow() override;

    bool isOpen() const override { return m_isOpen; }
    void close() override;
    void setFrame(const QRect& frame) override;
    void orderFrontWithoutActivating() override;
    // The full row's size plus 35 by 20 pixels for the shadow.
    QSize paddedSize() const override { return m_paddedSize; }

    // Whether a compositor blends translucent windows with what lies below them (the default).
    // Without one, the panel is cut to the shape of the strip and the close button, and goes
    // without its shadow, rather than showing a dark box around them.
    void setCompositingActive(bool active);
    bool isCompositingActive() const { return m_isCompositingActive; }

    ActionsView* view() const { return m_view; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // A close from elsewhere (the window manager, QWidget::close) also ends isOpen, or the poller
    // would take the hidden panel for one on screen and never show it again.
    void closeEvent(QCloseEvent* event) override;

private:
    void updateMask();

    bool m_isOpen = false;
    bool m_isCompositingActive = true;
    ActionsView* m_view;
    QSize m_paddedSize;
};

} // namespace parlomatic::panels
