#include "selection/PanelPlacement.h"

#include <QTextBoundaryFinder>

#include <cmath>

namespace parlomatic {

bool isDegenerate(const AxRect& rect)
{
    return rect.width < 0.01 && rect.height < 0.01;
}

namespace {

// Beyond any screen: an application answered nonsense.
std::optional<QRect> frameAt(double left, double top, QSize size)
{
    constexpr double limit = 1e7;
    if (!(std::abs(left) < limit) || !(std::abs(top) < limit)) {
        return std::nullopt;
    }
    return QRect(static_cast<int>(std::lround(left)), static_cast<int>(std::lround(top)), size.width(), size.height());
}

bool isUsableScale(double devicePixelRatio)
{
    return devicePixelRatio > 0 && std::isfinite(devicePixelRatio);
}

} // namespace

std::optional<QRect> actionsPanelFrame(const AxRect& selection, const std::optional<AxRect>& elementFrame,
                                       QSize paddedSize, double devicePixelRatio)
{
    if (!isUsableScale(devicePixelRatio)) {
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
    return frameAt(left, top, paddedSize);
}

std::optional<QRect> translatePanelFrame(const AxRect& selection, QSize idealSize, double devicePixelRatio)
{
    if (!isUsableScale(devicePixelRatio)) {
        return std::nullopt;
    }
    const double left = (selection.x + selection.width / 2) / devicePixelRatio - idealSize.width() / 2.0;
    const double top = selection.y / devicePixelRatio - 1.5 * idealSize.height();
    return frameAt(left, top, idealSize);
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
