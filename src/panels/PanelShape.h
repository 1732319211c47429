#pragma once

#include <QPainterPath>

class QPainter;

namespace parlomatic::panels {

// A rounded rectangle whose corners ease into the straight edges, with a far smaller jump in
// curvature where they meet the sides than a circular arc has. Each corner spans 1.5 radii.
QPainterPath continuousRoundedRect(const QRectF& rect, double radius);

// A soft shadow below a rounded rectangle, fading out over `depth` pixels around it and shifted
// down by `offsetY`. For windows that blend with what lies below them: the window manager gives
// frameless windows none of its own.
void paintDropShadow(QPainter& painter, const QRectF& rect, double radius, int depth, double offsetY);

} // namespace parlomatic::panels
