#include "panels/SemanticColors.h"

#include <QPalette>

namespace parlomatic::panels::SemanticColors {

bool isDark(const QPalette& palette)
{
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor label(const QPalette& palette)
{
    return palette.color(QPalette::WindowText);
}

QColor secondaryLabel(const QPalette& palette)
{
    return withOpacity(label(palette), 0.5);
}

QColor textBackground(const QPalette& palette)
{
    return palette.color(QPalette::Base);
}

QColor gray(const QPalette& palette)
{
    const QColor window = palette.color(QPalette::Window);
    const QColor text = palette.color(QPalette::WindowText);
    return {(window.red() + text.red()) / 2, (window.green() + text.green()) / 2, (window.blue() + text.blue()) / 2};
}

QColor withOpacity(QColor colour, double opacity)
{
    colour.setAlphaF(static_cast<float>(colour.alphaF() * opacity));
    return colour;
}

} // namespace parlomatic::panels::SemanticColors
