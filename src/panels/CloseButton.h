#pragma once

#include "panels/Symbol.h"

#include <QAbstractButton>

#include <functional>

namespace parlomatic::panels {

// A round close button: a filled circle with a cross, sized by the 11-point system font, with no
// bezel or background. Beside the actions strip (`strip` colours): light theme, a grey circle and a
// white cross; dark theme, a circle in the text-background colour and a cross in the label colour.
// In the translation panel (`panel` colours): a grey circle, the cross white in the light theme
// and black in the dark one.
class CloseButton : public QAbstractButton {
    Q_OBJECT

public:
    enum class Colours { strip, panel };

    explicit CloseButton(std::function<void()> action, QWidget* parent = nullptr, Colours colours = Colours::strip);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    // The colours for the palette's theme.
    static Symbol::Palette colours(const QPalette& palette);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::function<void()> m_action;
    Colours m_colours;
    Symbol m_symbol;
    QSizeF m_symbolSize;
};

} // namespace parlomatic::panels
