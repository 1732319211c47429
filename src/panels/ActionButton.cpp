#include "panels/ActionButton.h"

#include "panels/SemanticColors.h"
#include "panels/SystemFont.h"

#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

namespace parlomatic::panels {

namespace {

constexpr double titlePointSize = 11.0;
constexpr int paddingX = 5;
constexpr int paddingY = 2;
// A plain button has no pressed background; its label dims while it is held down instead.
constexpr double pressedOpacity = 0.5;

} // namespace

ActionButton::ActionButton(const QString& title, std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent), m_action(std::move(action))
{
    setText(title);
    setFont(systemFont(titlePointSize));
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_action) {
            m_action();
        }
    });
}

QSize ActionButton::sizeHint() const
{
    const QFontMetricsF metrics(font());
    return {static_cast<int>(std::ceil(metrics.horizontalAdvance(text()))) + 2 * paddingX,
            static_cast<int>(std::ceil(metrics.height())) + 2 * paddingY};
}

void ActionButton::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QColor colour = SemanticColors::label(palette());
    painter.setPen(isDown() ? SemanticColors::withOpacity(colour, pressedOpacity) : colour);
    painter.drawText(rect().adjusted(paddingX, paddingY, -paddingX, -paddingY), Qt::AlignCenter | Qt::TextSingleLine,
                     text());
}

} // namespace parlomatic::panels
