#include "panels/CloseButton.h"

#include "panels/SemanticColors.h"
#include "panels/SystemFont.h"

#include <QPainter>

#include <cmath>

namespace parlomatic::panels {

namespace {

constexpr double symbolPointSize = 11.0;
constexpr double pressedOpacity = 0.6;

} // namespace

CloseButton::CloseButton(std::function<void()> action, QWidget* parent, Colours colours)
    : QAbstractButton(parent), m_action(std::move(action)), m_colours(colours),
      m_symbol(QStringLiteral("xmark.circle.fill")), m_symbolSize(m_symbol.sizeForFont(systemFont(symbolPointSize)))
{
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // A symbol without a title: what a screen reader says for it.
    setAccessibleName(QStringLiteral("Close"));
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_action) {
            m_action();
        }
    });
}

QSize CloseButton::sizeHint() const
{
    return {static_cast<int>(std::ceil(m_symbolSize.width())), static_cast<int>(std::ceil(m_symbolSize.height()))};
}

Symbol::Palette CloseButton::colours(const QPalette& palette)
{
    if (SemanticColors::isDark(palette)) {
        return {.primary = SemanticColors::label(palette),
                .secondary = Qt::transparent,
                .tertiary = SemanticColors::textBackground(palette)};
    }
    return {.primary = Qt::white, .secondary = Qt::transparent, .tertiary = SemanticColors::gray(palette)};
}

void CloseButton::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown()) {
        painter.setOpacity(pressedOpacity);
    }
    const QRectF target(QPointF((width() - m_symbolSize.width()) / 2, (height() - m_symbolSize.height()) / 2),
                        m_symbolSize);
    const QPalette& current = palette();
    const Symbol::Palette panelColours{.primary = SemanticColors::isDark(current) ? Qt::black : Qt::white,
                                       .secondary = Qt::transparent,
                                       .tertiary = SemanticColors::gray(current)};
    m_symbol.paint(painter, target, m_colours == Colours::panel ? panelColours : colours(current));
}

} // namespace parlomatic::panels
