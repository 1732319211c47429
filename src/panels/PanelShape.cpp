#include "panels/PanelShape.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace parlomatic::panels {

namespace {

// The shadow's opacity right at the shape's edge.
constexpr double shadowEdgeOpacity = 0.22;

} // namespace

QPainterPath continuousRoundedRect(const QRectF& rect, double radius)
{
    const double extent = std::min({radius * 1.5, rect.width() / 2, rect.height() / 2});
    // Control points at this fraction of the extent put the curve's midpoint where a circular
    // corner of the given radius has it.
    const double k = 0.19;
    const double l = rect.left();
    const double r = rect.right();
    const double t = rect.top();
    const double b = rect.bottom();
    QPainterPath path;
    path.moveTo(l + extent, t);
    path.lineTo(r - extent, t);
    path.cubicTo(r - extent * k, t, r, t + extent * k, r, t + extent);
    path.lineTo(r, b - extent);
    path.cubicTo(r, b - extent * k, r - extent * k, b, r - extent, b);
    path.lineTo(l + extent, b);
    path.cubicTo(l + extent * k, b, l, b - extent * k, l, b - extent);
    path.lineTo(l, t + extent);
    path.cubicTo(l, t + extent * k, l + extent * k, t, l + extent, t);
    path.closeSubpath();
    return path;
}

void paintDropShadow(QPainter& painter, const QRectF& rect, double radius, int depth, double offsetY)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    // Nested layers of the same faint black: a point d pixels out lies under depth - d of them, so
    // the shadow is darkest at the edge and fades to nothing at `depth`.
    const double layerOpacity = 1.0 - std::pow(1.0 - shadowEdgeOpacity, 1.0 / depth);
    painter.setBrush(QColor::fromRgbF(0, 0, 0, static_cast<float>(layerOpacity)));
    const QRectF shape = rect.translated(0, offsetY);
    for (int grow = depth - 1; grow >= 0; --grow) {
        painter.drawPath(continuousRoundedRect(shape.adjusted(-grow, -grow, grow, grow), radius + grow));
    }
    painter.restore();
}

} // namespace parlomatic::panels
