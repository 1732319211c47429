#include "panels/AppButton.h"

#include "panels/SemanticColors.h"
#include "panels/SystemFont.h"

#include <QFontInfo>
#include <QPainter>

#include <cmath>

namespace parlomatic::panels {

namespace {

// The logo is as tall as one em of the 10-point system font.
constexpr double logoPointSize = 10.0;
constexpr int paddingX = 5;
constexpr double pressedOpacity = 0.5;

} // namespace

AppButton::AppButton(std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent), m_action(std::move(action)),
      m_logo(Symbol::fromFile(QStringLiteral(":/panels/parlomatic.svg")))
{
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(QStringLiteral("Parlomatic"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    m_logoSize = m_logo.sizeForHeight(QFontInfo(systemFont(logoPointSize)).pixelSize());
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_action) {
            m_action();
        }
    });
}

QSize AppButton::sizeHint() const
{
    return {static_cast<int>(std::ceil(m_logoSize.width())) + 2 * paddingX,
            static_cast<int>(std::ceil(m_logoSize.height()))};
}

QRectF AppButton::logoRect() const
{
    return {QPointF((width() - m_logoSize.width()) / 2, (height() - m_logoSize.height()) / 2), m_logoSize};
}

void AppButton::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor colour = SemanticColors::label(palette());
    m_logo.paint(painter, logoRect(),
                 {.primary = isDown() ? SemanticColors::withOpacity(colour, pressedOpacity) : colour});
}

} // namespace parlomatic::panels
