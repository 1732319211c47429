#pragma once

#include "selection/axUtils.h"

#include <QRect>
#include <QSize>
#include <QString>

#include <optional>
#include <span>

namespace parlomatic::selection {

// A selection rectangle narrower than 0.01 and lower than 0.01: a caret or an empty answer.
bool isDegenerate(const AxRect& rect);

// One screen as the panels see it, in Qt's global coordinates (logical pixels, top-left origin;
// each screen's origin is not scaled, only its extent): the whole screen, the part that docks and
// panels leave free, and the screen's device pixel ratio.
struct ScreenArea {
    QRect geometry;
    QRect workArea;
    double devicePixelRatio = 1;
};

// An accessibility rectangle (physical pixels of the X11 root window) in Qt's global coordinates,
// scaled by the screen whose physical area holds the rectangle's top-left corner (the first screen
// when none does): logical = screen origin + (physical - screen origin) / ratio. `screen` receives
// that screen. Nothing without screens or for a rectangle beyond any sane desktop.
std::optional<QRectF> toLogical(const AxRect& rect, std::span<const ScreenArea> screens,
                                const ScreenArea** screen = nullptr);

// Keeps a panel frame inside `workArea`: a frame that sticks out above goes below `anchor` (the
// selection it belongs to) instead, then it is shifted sideways, and vertically if still needed.
QRect keepInWorkArea(QRect frame, const QRectF& anchor, const QRect& workArea);

// The actions panel's frame in Qt's global coordinates. The panel's lower edge lies on the
// selection's upper edge, centred horizontally on the selection; for a degenerate selection it sits
// on the focused element's upper edge, centred on its left edge. Kept inside the work area of the
// screen that holds the selection. Nothing when no rule applies (degenerate selection without an
// element frame, or no screen).
std::optional<QRect> actionsPanelFrame(const AxRect& selection, const std::optional<AxRect>& elementFrame,
                                       QSize paddedSize, std::span<const ScreenArea> screens);

// The translation panel's frame, in the same coordinates: centred horizontally on the selection,
// its lower edge half a panel height above the selection's upper edge; kept inside the work area
// like the actions panel. Nothing without a screen.
std::optional<QRect> translatePanelFrame(const AxRect& selection, QSize idealSize, std::span<const ScreenArea> screens);

// The text without white space and line breaks at either end.
QString trimmedSelection(const QString& text);

// User-perceived characters (grapheme clusters), counting at most `limit`.
qsizetype userPerceivedLength(const QString& text, qsizetype limit = -1);

} // namespace parlomatic::selection
