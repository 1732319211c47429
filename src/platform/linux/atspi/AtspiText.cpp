#include "platform/linux/atspi/AtspiAccessibilityImpl.h"

// The text of the element's selection: read, measured and written.

namespace parlomatic::platform {

namespace {

// A selection read only in part is no selection: acting on it would replace more than was read.
std::optional<QString> wholeText(const CompositeSelection& selection)
{
    return selection.complete ? std::optional(selection.text) : std::nullopt;
}

} // namespace

std::optional<QString> AtspiAccessibility::selectedText(const selection::Element& element)
{
    const auto read = d->startRead(element);
    const auto& [accessible, watch] = read;
    if (read.skip() || !d->selection) {
        return std::nullopt;
    }
    // A password field's text is never read, not even into memory.
    AtspiText* text = d->readableText(accessible);
    if (text == nullptr || watch.slow()) {
        return std::nullopt;
    }
    const auto range = d->selection->range(accessible, text);
    if (!range) {
        const CompositeSelection* preceding = d->precedingComposite(element, watch);
        return preceding ? wholeText(*preceding) : QString();
    }
    if (watch.slow()) {
        return std::nullopt;
    }
    if (const CompositeSelection* whole =
            d->composite({.accessible = accessible, .text = text, .range = *range}, watch)) {
        return wholeText(*whole);
    }
    return d->selection->text(accessible, text, *range);
}

bool AtspiAccessibility::replaceSelection(const selection::Element& element, const QString& text)
{
    const auto read = d->startRead(element);
    const auto& [accessible, watch] = read;
    if (read.skip()) {
        return false;
    }
    const GObjectPtr<AtspiText> readable(atspi_accessible_get_text_iface(accessible));
    const GObjectPtr<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(accessible));
    if (!readable || !editable) {
        return false;
    }
    // The selection as it is now, not as remembered.
    ErrorSlot rangeError;
    const GMallocPtr<AtspiRange> range(atspi_text_get_selection(readable.get(), 0, rangeError.out()));
    ErrorSlot countError;
    const int before = atspi_text_get_character_count(readable.get(), countError.out());
    if (rangeError || countError || !range || range->start_offset == range->end_offset || watch.slow()) {
        return false;
    }
    const int start = std::min(range->start_offset, range->end_offset);
    const int end = std::max(range->start_offset, range->end_offset);
    const QByteArray utf8 = text.toUtf8();
    ErrorSlot deleteError;
    ErrorSlot insertError;
    if (!atspi_editable_text_delete_text(editable.get(), start, end, deleteError.out()) ||
        !atspi_editable_text_insert_text(editable.get(), start, utf8.constData(), int(utf8.size()),
                                         insertError.out())) {
        return false;
    }
    if (d->selection) {
        d->selection->clear();
    }
    ErrorSlot afterError;
    const int inserted = atspi_text_get_character_count(readable.get(), afterError.out()) - (before - (end - start));
    ErrorSlot readError;
    const GMallocPtr<char> written(
        inserted > 0 ? atspi_text_get_text(readable.get(), start, start + inserted, readError.out()) : nullptr);
    if (afterError || readError || !written || QString::fromUtf8(written.get()) != text) {
        return false;
    }
    ErrorSlot caretError;
    atspi_text_set_caret_offset(readable.get(), start + inserted, caretError.out());
    return true;
}

std::optional<selection::AccessibilityBackend::TextMark> AtspiAccessibility::textMark(const selection::Element& element)
{
    const auto read = d->startRead(element);
    const auto& [accessible, watch] = read;
    AtspiText* text = read.skip() ? nullptr : d->readableText(accessible);
    if (text == nullptr) {
        return std::nullopt;
    }
    ErrorSlot countError;
    const int length = atspi_text_get_character_count(text, countError.out());
    ErrorSlot selectionsError;
    const int selections = atspi_text_get_n_selections(text, selectionsError.out());
    if (countError || selectionsError || watch.slow()) {
        return std::nullopt;
    }
    if (selections == 0) {
        ErrorSlot caretError;
        const int caret = atspi_text_get_caret_offset(text, caretError.out());
        return caretError || caret < 0 ? std::nullopt
                                       : std::optional(TextMark{.start = caret, .end = caret, .length = length});
    }
    ErrorSlot rangeError;
    const GMallocPtr<AtspiRange> range(atspi_text_get_selection(text, 0, rangeError.out()));
    if (rangeError || !range || watch.slow()) {
        return std::nullopt;
    }
    const int start = std::min(range->start_offset, range->end_offset);
    const int end = std::max(range->start_offset, range->end_offset);
    // A selection spread over several objects has no one place in this object's text.
    if (d->selection && d->composite({.accessible = accessible, .text = text, .range = {start, end}}, watch)) {
        return std::nullopt;
    }
    return TextMark{.start = start, .end = end, .length = length};
}

std::optional<QString> AtspiAccessibility::textBetween(const selection::Element& element, int start, int end)
{
    const auto read = d->startRead(element);
    AtspiText* text = read.skip() ? nullptr : d->readableText(read.accessible);
    if (text == nullptr) {
        return std::nullopt;
    }
    ErrorSlot error;
    const GMallocPtr<char> between(atspi_text_get_text(text, start, end, error.out()));
    return error || !between ? std::nullopt : std::optional(QString::fromUtf8(between.get()));
}

std::optional<int> AtspiAccessibility::selectionLength(const selection::Element& element)
{
    const auto read = d->startRead(element);
    if (read.skip()) {
        return std::nullopt;
    }
    const auto selected = d->selectedRange(element, read.watch);
    return selected ? std::optional(selected->range.second - selected->range.first) : std::nullopt;
}

} // namespace parlomatic::platform
