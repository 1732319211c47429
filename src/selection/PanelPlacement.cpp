#include "selection/PanelPlacement.h"

#include <QTextBoundaryFinder>

#include <cmath>

namespace parlomatic {

bool isDegenerate(const AxRect& rect)
{
    return rect.width < 0.01 && rect.height < 0.01;
}

std::optional<QRect> actionsPanelFrame(const AxRect& selection, const std::optional<AxRect>& elementFrame,
                                       QSize paddedSize, double devicePixelRatio)
{
    if (!(devicePixelRatio > 0) || !std::isfinite(devicePixelRatio)) {
        return std::nullopt;
    }
    const double pw = paddedSize.width();
    const double ph = paddedSize.height();
    double left = 0;
    double top = 0;
    if (!isDegenerate(selection)) {
        left = (selection.x + selection.width / 2) / devicePixelRatio - pw / 2;
        top = selection.y / devicePixelRatio - ph;
    } else if (elementFrame) {
        left = elementFrame->x / devicePixelRatio - pw / 2;
        top = elementFrame->y / devicePixelRatio - ph;
    } else {
        return std::nullopt;
    }
    // Beyond any screen: an application answered nonsense.
    constexpr double limit = 1e7;
    if (!(std::abs(left) < limit) || !(std::abs(top) < limit)) {
        return std::nullopt;
    }
    return QRect(static_cast<int>(std::lround(left)), static_cast<int>(std::lround(top)), paddedSize.width(),
                 paddedSize.height());
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

} // namespace parlomatic
