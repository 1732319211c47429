#pragma once

#include "selection/axUtils.h"

#include <QRect>
#include <QSize>
#include <QString>

#include <optional>

namespace parlomatic {

// A selection rectangle narrower than 0.01 and lower than 0.01: a caret or an empty answer.
bool isDegenerate(const AxRect& rect);

// The actions panel's frame in Qt's global coordinates (logical pixels, top-left origin). The
// panel's lower edge lies on the selection's upper edge, centred horizontally on the selection;
// for a degenerate selection it sits on the focused element's upper edge, centred on its left
// edge. Accessibility rectangles are physical pixels and are divided by the device pixel ratio.
// Nothing when no rule applies (degenerate selection without an element frame, or no screen).
std::optional<QRect> actionsPanelFrame(const AxRect& selection, const std::optional<AxRect>& elementFrame,
                                       QSize paddedSize, double devicePixelRatio);

// The translation panel's frame, in the same coordinates: centred horizontally on the selection,
// its lower edge half a panel height above the selection's upper edge. Nothing without a screen.
std::optional<QRect> translatePanelFrame(const AxRect& selection, QSize idealSize, double devicePixelRatio);

// The text without white space and line breaks at either end.
QString trimmedSelection(const QString& text);

// User-perceived characters (grapheme clusters), counting at most `limit`.
qsizetype userPerceivedLength(const QString& text, qsizetype limit = -1);

} // namespace parlomatic
