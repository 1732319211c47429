#pragma once

#include <QWidget>

class QLabel;
class QMenu;
class QSizeGrip;
class QToolButton;

namespace parlomatic::panels {

class CloseButton;
class TranslateState;

// The translation panel's content: a header with the close button on the left and the language
// menu (the target's display name) on the right, over a scrolling text area with the shown text,
// which the user can select and copy. Between 280 and 520 pixels wide and 60 and 260 high (ideally
// 280 by 80), on a background lighter (light theme) or darker (dark theme) than the window colour,
// with rounded corners (by default) or square ones edged with a hairline.
// Dragging its background moves the window; the grip in the lower right corner resizes it.
class TranslateView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize idealSize{280, 80};
    static constexpr double cornerRadius = 8.0;

    explicit TranslateView(TranslateState& state, QWidget* parent = nullptr);

    QSize sizeHint() const override { return idealSize; }

    CloseButton* closeButton() const { return m_closeButton; }
    QToolButton* languageButton() const { return m_languageButton; }
    // One checkable item per language, in declaration order, tagged (data) with its code.
    QMenu* languageMenu() const { return m_languageMenu; }
    QLabel* textLabel() const { return m_text; }

    // Rounded, antialiased corners need a window that blends with what lies below it.
    void setRoundedCorners(bool rounded);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void showLanguage();

    TranslateState& m_state;
    CloseButton* m_closeButton;
    QToolButton* m_languageButton;
    QMenu* m_languageMenu;
    QLabel* m_text;
    QSizeGrip* m_grip;
    bool m_isRounded = true;
};

} // namespace parlomatic::panels
