#include "platform/linux/atspi/AtspiCompositeSelection.h"

#include "platform/linux/atspi/AtspiElement.h"
#include "platform/linux/desktop/GlibHandles.h"

#include <QList>

#include <algorithm>
#include <deque>

namespace parlomatic::platform {

namespace {

// Bounds on the calls one step makes for a selection spread over many objects.
constexpr int maxPieces = 64;
constexpr int maxDepth = 4;

struct Piece {
    GObjectPtr<AtspiAccessible> accessible;
    GObjectPtr<AtspiText> text;
    std::pair<int, int> range;
    QString selected;
};

// The object's selected range and text; nothing for a password field or without a selection.
std::optional<Piece> selectedPiece(GObjectPtr<AtspiAccessible> accessible)
{
    ErrorSlot roleError;
    const AtspiRole role = atspi_accessible_get_role(accessible.get(), roleError.out());
    GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(accessible.get()));
    if (roleError || role == ATSPI_ROLE_PASSWORD_TEXT || !text) {
        return std::nullopt;
    }
    ErrorSlot error;
    const GMallocPtr<AtspiRange> range(atspi_text_get_selection(text.get(), 0, error.out()));
    if (error || !range) {
        return std::nullopt;
    }
    const int start = std::min(range->start_offset, range->end_offset);
    const int end = std::max(range->start_offset, range->end_offset);
    if (start < 0 || end <= start) {
        return std::nullopt;
    }
    ErrorSlot textError;
    const GMallocPtr<char> selected(atspi_text_get_text(text.get(), start, end, textError.out()));
    if (textError || !selected) {
        return std::nullopt;
    }
    return Piece{.accessible = std::move(accessible),
                 .text = std::move(text),
                 .range = {start, end},
                 .selected = QString::fromUtf8(selected.get())};
}

void unite(std::optional<selection::AxRect>& total, AtspiText* text, std::pair<int, int> range)
{
    ErrorSlot error;
    const GMallocPtr<AtspiRect> rect(
        atspi_text_get_range_extents(text, range.first, range.second, ATSPI_COORD_TYPE_SCREEN, error.out()));
    if (error || !rect || rect->width <= 0 || rect->height <= 0) {
        return;
    }
    const selection::AxRect piece{
        .x = double(rect->x), .y = double(rect->y), .width = double(rect->width), .height = double(rect->height)};
    if (!total) {
        total = piece;
        return;
    }
    const double left = std::min(total->x, piece.x);
    const double top = std::min(total->y, piece.y);
    const double right = std::max(total->x + total->width, piece.x + piece.width);
    const double bottom = std::max(total->y + total->height, piece.y + piece.height);
    total = selection::AxRect{.x = left, .y = top, .width = right - left, .height = bottom - top};
}

bool isInline(AtspiAccessible* accessible)
{
    ErrorSlot error;
    const AtspiRole role = atspi_accessible_get_role(accessible, error.out());
    return role == ATSPI_ROLE_LINK || role == ATSPI_ROLE_IMAGE || role == ATSPI_ROLE_STATIC;
}

struct Collector {
    CompositeSelection result;
    int pieces = 0;
    const std::function<bool()>& slow;

    void add(AtspiAccessible* accessible, AtspiText* text, std::pair<int, int> range, const QString& selected,
             int depth);
};

void Collector::add(AtspiAccessible* accessible, AtspiText* text, std::pair<int, int> range, const QString& selected,
                    int depth)
{
    if (!selected.contains(QChar(embeddedObject))) {
        result.text += selected;
        unite(result.rect, text, range);
        return;
    }
    const GObjectPtr<AtspiHypertext> hypertext(atspi_accessible_get_hypertext_iface(accessible));
    // Offsets count code points; QString counts UTF-16 units.
    const QList<uint> codePoints = selected.toUcs4();
    for (qsizetype i = 0; i < codePoints.size(); ++i) {
        if (codePoints[i] != embeddedObject) {
            const char32_t codePoint = codePoints[i];
            result.text += QString::fromUcs4(&codePoint, 1);
            continue;
        }
        if (!hypertext || depth >= maxDepth || ++pieces > maxPieces || slow()) {
            result.complete = false;
            continue;
        }
        ErrorSlot indexError;
        const int index =
            atspi_hypertext_get_link_index(hypertext.get(), range.first + static_cast<int>(i), indexError.out());
        ErrorSlot linkError;
        const GObjectPtr<AtspiHyperlink> link(
            indexError || index < 0 ? nullptr : atspi_hypertext_get_link(hypertext.get(), index, linkError.out()));
        ErrorSlot objectError;
        GObjectPtr<AtspiAccessible> child(
            !link || linkError ? nullptr : atspi_hyperlink_get_object(link.get(), 0, objectError.out()));
        if (!child || objectError) {
            continue;
        }
        const bool block = !isInline(child.get());
        if (const std::optional<Piece> piece = selectedPiece(std::move(child))) {
            if (block && !result.text.isEmpty() && !result.text.endsWith('\n')) {
                result.text += '\n';
            }
            add(piece->accessible.get(), piece->text.get(), piece->range, piece->selected, depth + 1);
        }
    }
}

} // namespace

CompositeSelection embeddedSelection(AtspiAccessible* accessible, AtspiText* text, std::pair<int, int> range,
                                     const QString& selected, const std::function<bool()>& slow)
{
    Collector collector{.result = {}, .pieces = 0, .slow = slow};
    collector.add(accessible, text, range, selected, 0);
    return std::move(collector.result);
}

namespace {

struct Siblings {
    GObjectPtr<AtspiAccessible> parent;
    int index = -1;
    int count = 0;
};

Siblings siblingsOf(AtspiAccessible* accessible)
{
    ErrorSlot parentError;
    GObjectPtr<AtspiAccessible> parent(atspi_accessible_get_parent(accessible, parentError.out()));
    ErrorSlot indexError;
    const int index = parent ? atspi_accessible_get_index_in_parent(accessible, indexError.out()) : -1;
    ErrorSlot countError;
    const int count = index >= 0 && !indexError ? atspi_accessible_get_child_count(parent.get(), countError.out()) : 0;
    if (countError || count <= 1) {
        return {};
    }
    return Siblings{.parent = std::move(parent), .index = index, .count = count};
}

// Whether the object's text flows on, that way, into another object (a relation LibreOffice sets
// between paragraphs); false when it cannot be told.
bool flowsOn(AtspiAccessible* accessible, AtspiRelationType type)
{
    ErrorSlot error;
    const GArrayPtr relations(atspi_accessible_get_relation_set(accessible, error.out()));
    if (!relations) {
        return false;
    }
    bool found = false;
    for (guint i = 0; i < relations->len; ++i) {
        const GObjectPtr<AtspiRelation> relation(g_array_index(relations.get(), AtspiRelation*, i));
        found = found || atspi_relation_get_relation_type(relation.get()) == type;
    }
    return found;
}

// Whether the selection may go on past the last sibling in the tree, which need not be the
// document's last paragraph: LibreOffice publishes only the paragraphs in view.
bool goesOnPastTheTree(const Piece& edge, int step)
{
    if (step < 0) {
        return edge.range.first == 0 && flowsOn(edge.accessible.get(), ATSPI_RELATION_FLOWS_FROM);
    }
    ErrorSlot error;
    const int length = atspi_text_get_character_count(edge.text.get(), error.out());
    return !error && edge.range.second >= length && flowsOn(edge.accessible.get(), ATSPI_RELATION_FLOWS_TO);
}

// The siblings from `index + step` on, one way, while each holds a selection, in document order, as
// long as `pieces` holds fewer than maxPieces. False when that bound or a slow answer stopped it
// before a sibling without a selection, or the selection goes on past the siblings in the tree.
bool collectSiblings(const Siblings& siblings, int step, std::deque<Piece>& pieces, const std::function<bool()>& slow)
{
    bool added = false;
    for (int i = siblings.index + step; i >= 0 && i < siblings.count; i += step) {
        if (pieces.size() >= std::size_t(maxPieces) || slow()) {
            return false;
        }
        ErrorSlot error;
        GObjectPtr<AtspiAccessible> sibling(atspi_accessible_get_child_at_index(siblings.parent.get(), i, error.out()));
        std::optional<Piece> piece = error || !sibling ? std::nullopt : selectedPiece(std::move(sibling));
        if (!piece) {
            return true;
        }
        added = true;
        if (step < 0) {
            pieces.push_front(std::move(*piece));
        } else {
            pieces.push_back(std::move(*piece));
        }
    }
    return !added || !goesOnPastTheTree(step < 0 ? pieces.front() : pieces.back(), step);
}

struct Joiner {
    CompositeSelection result;
    void add(AtspiText* text, std::pair<int, int> range, const QString& selected)
    {
        if (!result.text.isEmpty()) {
            result.text += '\n';
        }
        result.text += selected;
        unite(result.rect, text, range);
    }
    void add(std::deque<Piece>::const_iterator from, const std::deque<Piece>::const_iterator& to)
    {
        for (; from != to; ++from) {
            add(from->text.get(), from->range, from->selected);
        }
    }
};

} // namespace

std::optional<CompositeSelection> siblingSelection(AtspiAccessible* accessible, AtspiText* text,
                                                   std::pair<int, int> range, const QString& selected,
                                                   const std::function<bool()>& slow)
{
    const Siblings siblings = siblingsOf(accessible);
    if (!siblings.parent) {
        return std::nullopt;
    }
    // Outward from the focused paragraph, each way until a sibling holds no selection.
    // One budget for both ways: `pieces` holds what is read so far.
    std::deque<Piece> pieces;
    if (!collectSiblings(siblings, -1, pieces, slow)) {
        return CompositeSelection{.text = {}, .rect = {}, .complete = false};
    }
    const std::size_t before = pieces.size();
    if (!collectSiblings(siblings, 1, pieces, slow)) {
        return CompositeSelection{.text = {}, .rect = {}, .complete = false};
    }
    if (pieces.empty()) {
        return std::nullopt;
    }
    Joiner joined;
    joined.add(pieces.begin(), pieces.begin() + std::ptrdiff_t(before));
    joined.add(text, range, selected);
    joined.add(pieces.begin() + std::ptrdiff_t(before), pieces.end());
    return std::move(joined.result);
}

std::optional<CompositeSelection> precedingSelection(AtspiAccessible* accessible, AtspiText* text,
                                                     const std::function<bool()>& slow)
{
    ErrorSlot caretError;
    if (atspi_text_get_caret_offset(text, caretError.out()) != 0 || caretError || slow()) {
        return std::nullopt;
    }
    const Siblings siblings = siblingsOf(accessible);
    std::deque<Piece> before;
    if (siblings.parent && !collectSiblings(siblings, -1, before, slow)) {
        return CompositeSelection{.text = {}, .rect = {}, .complete = false};
    }
    if (before.empty()) {
        return std::nullopt;
    }
    Joiner joined;
    joined.add(before.begin(), before.end());
    return std::move(joined.result);
}

} // namespace parlomatic::platform
