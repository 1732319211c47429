#pragma once

#include "selection/axUtils.h"

#include <QString>

#include <atspi/atspi.h>

#include <functional>
#include <optional>
#include <utility>

namespace parlomatic::platform {

// A selection that the focused text object holds only in part: its text and the union of its
// pieces' rectangles (nothing when no piece gave one).
struct CompositeSelection {
    QString text;
    std::optional<selection::AxRect> rect;
    // False when a bound on the calls or a slow application stopped the reading before the whole
    // selection was read: the text is then only part of it and must not be shown or replaced.
    bool complete = true;
};

// The character web documents (Firefox, Chromium) put in their text for each child object.
inline constexpr char32_t embeddedObject = 0xFFFC;

// Web documents: `selected`, the element's selected text over `range`, holds an embedded-object
// character for each child object; the selected characters live in those children. Each such
// character is replaced by its child's selected text (recursively; a child that starts a block gets
// a line break before it), and the rectangle is the union of the pieces' ranges. Password fields
// give nothing. `slow` tells when the application has taken too long: the reading stops there and
// counts as incomplete.
CompositeSelection embeddedSelection(AtspiAccessible* accessible, AtspiText* text, std::pair<int, int> range,
                                     const QString& selected, const std::function<bool()>& slow);

// LibreOffice: one selection per paragraph, each in a sibling text object under the document. The
// focused paragraph's neighbours are joined while they hold a selection, in document order, one
// line break between paragraphs. Nothing when no neighbour holds one; incomplete when more
// paragraphs hold it than one step reads, or the application answers slowly.
std::optional<CompositeSelection> siblingSelection(AtspiAccessible* accessible, AtspiText* text,
                                                   std::pair<int, int> range, const QString& selected,
                                                   const std::function<bool()>& slow);

// LibreOffice, when the focused paragraph holds none of the selection: a selection over whole
// paragraphs made downwards leaves the caret at the start of the paragraph after it. With the caret
// there, the paragraphs before it that hold a selection, in document order; else nothing.
std::optional<CompositeSelection> precedingSelection(AtspiAccessible* accessible, AtspiText* text,
                                                     const std::function<bool()>& slow);

} // namespace parlomatic::platform
