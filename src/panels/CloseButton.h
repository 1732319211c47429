#pragma once

#include "panels/Symbol.h"

#include <QAbstractButton>

#include <functional>

namespace parlomatic {

// The round close button beside the actions strip: a filled circle with a cross, sized by the
// 11-point system font, with no bezel or background. Light theme: a grey circle, a white cross;
// dark theme: a circle in the text-background colour, a cross in the label colour.
class CloseButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit CloseButton(std::function<void()> action, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    // The colours for the palette's theme.
    static Symbol::Palette colours(const QPalette& palette);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::function<void()> m_action;
    Symbol m_symbol;
    QSizeF m_symbolSize;
};

} // namespace parlomatic
