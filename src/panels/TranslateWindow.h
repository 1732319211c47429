#pragma once

#include "selection/TranslatePanel.h"

#include <QWidget>

namespace parlomatic::panels {

class TranslateState;
class TranslateView;

// The translation panel: a frameless, translucent tool window at the normal level, titled
// "Parlomatic - Translation", showing a TranslateView centred on a clear background, with rounded
// corners and a soft shadow around it. The user can read, select and copy its text, move it by its
// background and resize it; past the view's largest size the rest of the window stays clear.
// Created hidden, once, and reused.
class TranslateWindow final : public QWidget, public selection::TranslatePanel {
    Q_OBJECT
public:
    // `identifier` names the window (the bundle identifier).
    TranslateWindow(TranslateState& state, const QString& identifier, QWidget* parent = nullptr);

    bool isOpen() const override { return m_isOpen; }
    void close() override;
    void setInputText(const std::optional<QString>& text) override;
    void setActionClose(std::function<void()> action) override;
    // The view's ideal size, 280 by 80 pixels.
    QSize idealSize() const override { return m_idealSize; }
    // Places the view at `frame`; the window reaches beyond it by the shadow's margins.
    void setFrame(const QRect& frame) override;
    void orderFront() override;

    // Whether a compositor blends translucent windows with what lies below them (the default).
    // Without one, the window is cut to the view's rectangle, which goes without its shadow and
    // rounded corners, rather than showing a dark box around it.
    void setCompositingActive(bool active);
    bool isCompositingActive() const { return m_isCompositingActive; }
    // The clear space around the view that holds its shadow; none without a compositor.
    QMargins shadowMargins() const;

    TranslateState& state() const { return m_state; }
    TranslateView* view() const { return m_view; }

protected:
    // A close from the window manager also ends isOpen, or the panel would count as on screen.
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Escape closes the panel as its close button does; the window manager then gives the focus
    // back to the application below.
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void updateMask();

    TranslateState& m_state;
    TranslateView* m_view;
    QSize m_idealSize;
    bool m_isOpen = false;
    bool m_isCompositingActive = true;
};

} // namespace parlomatic::panels
