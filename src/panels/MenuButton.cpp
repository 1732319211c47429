#include "panels/MenuButton.h"

#include "panels/SemanticColors.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace parlomatic::panels {

namespace {

constexpr double margin = 2.0;
constexpr double gap = 2.0;

} // namespace

MenuButton::MenuButton(QWidget* parent) : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void MenuButton::setAttributedTitle(const QString& title, const QFont& font)
{
    m_titleFont = font;
    setText(title);
    updateGeometry();
    update();
}

void MenuButton::setImage(Symbol image, QSizeF size)
{
    m_image = std::move(image);
    m_imageSize = size;
    updateGeometry();
    update();
}

QSizeF MenuButton::titleSize() const
{
    const QFontMetricsF metrics(m_titleFont);
    return {metrics.horizontalAdvance(text()), metrics.height()};
}

QSize MenuButton::naturalSize() const
{
    const QSizeF title = titleSize();
    const QSizeF image = m_image ? m_imageSize : QSizeF();
    const double width = margin + title.width() + (m_image ? gap + image.width() : 0.0) + margin;
    const double height = std::max(title.height(), image.height());
    return {static_cast<int>(std::ceil(width)), static_cast<int>(std::ceil(height))};
}

QSize MenuButton::sizeHint() const
{
    return naturalSize() + QSize(2, 0);
}

QSize MenuButton::minimumSizeHint() const
{
    return sizeHint();
}

QRectF MenuButton::titleRect() const
{
    return {QPointF(margin, 0), titleSize()};
}

QRectF MenuButton::imageRect() const
{
    return {QPointF(width() - m_imageSize.width() - margin, (height() - m_imageSize.height()) / 2), m_imageSize};
}

void MenuButton::paintEvent(QPaintEvent* /*event*/)
{
    if (!m_image) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QColor colour = SemanticColors::label(palette());
    m_image->paint(painter, imageRect(), {.primary = colour});
    painter.setFont(m_titleFont);
    painter.setPen(colour);
    painter.drawText(titleRect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text());
}

} // namespace parlomatic::panels
