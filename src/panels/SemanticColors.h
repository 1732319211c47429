#pragma once

#include <QColor>

class QPalette;

// The desktop's semantic colours, read from a palette so that the panels follow the light or dark
// theme without knowing which one is active.
namespace parlomatic::panels::SemanticColors {

// Dark when the palette's window colour is darker than mid-grey.
bool isDark(const QPalette& palette);

// The text colour of ordinary labels.
QColor label(const QPalette& palette);
// Labels of lesser importance: the label colour at half strength.
QColor secondaryLabel(const QPalette& palette);
// The background of text the user reads or edits.
QColor textBackground(const QPalette& palette);
// A neutral grey half-way between the window and its text, in both themes.
QColor gray(const QPalette& palette);

// The label colour at the given opacity (0 to 1).
QColor withOpacity(QColor colour, double opacity);

} // namespace parlomatic::panels::SemanticColors
