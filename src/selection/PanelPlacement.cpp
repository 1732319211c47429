#include "selection/PanelPlacement.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <cmath>

namespace parlomatic::selection {

bool isDegenerate(const AxRect& rect)
{
    return rect.width < 0.01 && rect.height < 0.01;
}

std::optional<QRectF> toLogical(const AxRect& rect, std::span<const ScreenArea> screens, const ScreenArea** screen)
{
    // Beyond any screen: an application answered nonsense.
    constexpr double limit = 1e7;
    if (screens.empty() || !(std::abs(rect.x) < limit) || !(std::abs(rect.y) < limit) ||
        !(std::abs(rect.width) < limit) || !(std::abs(rect.height) < limit)) {
        return std::nullopt;
    }
    const ScreenArea* found = &screens.front();
    for (const ScreenArea& candidate : screens) {
        const QRectF physical(candidate.geometry.topLeft(),
                              QSizeF(candidate.geometry.size()) * candidate.devicePixelRatio);
        if (physical.contains(rect.x, rect.y)) {
            found = &candidate;
            break;
        }
    }
    const double ratio = found->devicePixelRatio;
    if (!(ratio > 0) || !std::isfinite(ratio)) {
        return std::nullopt;
    }
    if (screen != nullptr) {
        *screen = found;
    }
    const QPointF origin = found->geometry.topLeft();
    return QRectF(origin.x() + (rect.x - origin.x()) / ratio, origin.y() + (rect.y - origin.y()) / ratio,
                  rect.width / ratio, rect.height / ratio);
}

QRect keepInWorkArea(QRect frame, const QRectF& anchor, const QRect& workArea)
{
    if (workArea.isEmpty()) {
        return frame;
    }
    if (frame.top() < workArea.top()) {
        frame.moveTop(static_cast<int>(std::lround(anchor.bottom())));
    }
    // A panel larger than the work area keeps its top-left corner visible.
    frame.moveLeft(std::max(workArea.left(), std::min(frame.left(), workArea.right() + 1 - frame.width())));
    frame.moveTop(std::max(workArea.top(), std::min(frame.top(), workArea.bottom() + 1 - frame.height())));
    return frame;
}

std::optional<QRect> actionsPanelFrame(const AxRect& selection, const std::optional<AxRect>& elementFrame,
                                       QSize paddedSize, std::span<const ScreenArea> screens)
{
    const bool degenerate = isDegenerate(selection);
    if (degenerate && !elementFrame) {
        return std::nullopt;
    }
    const ScreenArea* screen = nullptr;
    const std::optional<QRectF> anchor = toLogical(degenerate ? *elementFrame : selection, screens, &screen);
    if (!anchor) {
        return std::nullopt;
    }
    const double pw = paddedSize.width();
    const double centre = degenerate ? anchor->left() : anchor->center().x();
    const QRect frame(static_cast<int>(std::lround(centre - pw / 2)),
                      static_cast<int>(std::lround(anchor->top() - paddedSize.height())), paddedSize.width(),
                      paddedSize.height());
    return keepInWorkArea(frame, *anchor, screen->workArea);
}

std::optional<QRect> translatePanelFrame(const AxRect& selection, QSize idealSize, std::span<const ScreenArea> screens)
{
    const ScreenArea* screen = nullptr;
    const std::optional<QRectF> anchor = toLogical(selection, screens, &screen);
    if (!anchor) {
        return std::nullopt;
    }
    const QRect frame(static_cast<int>(std::lround(anchor->center().x() - idealSize.width() / 2.0)),
                      static_cast<int>(std::lround(anchor->top() - 1.5 * idealSize.height())), idealSize.width(),
                      idealSize.height());
    return keepInWorkArea(frame, *anchor, screen->workArea);
}

QString trimmedSelection(const QString& text)
{
    return text.trimmed();
}

qsizetype userPerceivedLength(const QString& text, qsizetype limit)
{
    if (text.isEmpty()) {
        return 0;
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1) {
        ++count;
        if (limit >= 0 && count >= limit) {
            break;
        }
    }
    return count;
}

} // namespace parlomatic::selection
