#include "panels/ButtonDivider.h"

#include "panels/SemanticColors.h"

#include <QPainter>

namespace parlomatic::panels {

ButtonDivider::ButtonDivider(QWidget* parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    setFixedWidth(1);
}

QColor ButtonDivider::colour(const QPalette& palette)
{
    return SemanticColors::withOpacity(SemanticColors::label(palette), SemanticColors::isDark(palette) ? 0.2 : 0.1);
}

void ButtonDivider::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.fillRect(rect(), colour(palette()));
}

} // namespace parlomatic::panels
