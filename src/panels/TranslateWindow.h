#pragma once

#include "selection/TranslatePanel.h"

#include <QWidget>

namespace parlomatic {

class TranslateState;
class TranslateView;

// The translation panel: a frameless tool window at the normal level, titled
// "Parlomatic - Translation", showing a TranslateView. The user can read, select and copy its text,
// move it by its background and resize it. Created hidden, once, and reused.
class TranslateWindow final : public QWidget, public TranslatePanel {
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
    void setFrame(const QRect& frame) override;
    void orderFront() override;

    TranslateState& state() const { return m_state; }
    TranslateView* view() const { return m_view; }

protected:
    // A close from the window manager also ends isOpen, or the panel would count as on screen.
    void closeEvent(QCloseEvent* event) override;

private:
    TranslateState& m_state;
    TranslateView* m_view;
    QSize m_idealSize;
    bool m_isOpen = false;
};

} // namespace parlomatic
