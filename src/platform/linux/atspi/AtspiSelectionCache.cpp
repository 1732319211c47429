#include "platform/linux/atspi/AtspiSelectionCache.h"

#include "platform/linux/atspi/AtspiElement.h"

#include <array>

namespace parlomatic::platform {

namespace {

constexpr std::size_t maxAnnouncers = 32;
// The last three say the view may have moved: scroll bars (GTK, Qt) announce their value, and
// objects their new bounds or visible data.
constexpr std::array<const char*, 5> events{"object:text-selection-changed", "object:text-changed",
                                            "object:property-change:accessible-value", "object:bounds-changed",
                                            "object:visible-data-changed"};

} // namespace

AtspiSelectionCache::AtspiSelectionCache()
{
    m_listener.reset(atspi_event_listener_new(&AtspiSelectionCache::onEvent, this, nullptr));
    for (const char* event : events) {
        ErrorSlot error;
        atspi_event_listener_register(m_listener.get(), event, error.out());
    }
}

AtspiSelectionCache::~AtspiSelectionCache()
{
    for (const char* event : events) {
        ErrorSlot error;
        atspi_event_listener_deregister(m_listener.get(), event, error.out());
    }
}

void AtspiSelectionCache::onEvent(AtspiEvent* rawEvent, void* self)
{
    const EventPtr event(rawEvent);
    auto* cache = static_cast<AtspiSelectionCache*>(self);
    if (event->source == nullptr) {
        return;
    }
    const bool fromItsApplication = event->sender != nullptr && event->sender == cache->m_application.get();
    if (fromItsApplication) {
        ++cache->m_announcements;
    }
    if (!g_str_has_prefix(event->type, "object:text-")) {
        if (fromItsApplication) {
            cache->m_steady.reset();
        }
        return;
    }
    if (event->source == cache->m_element.get()) {
        cache->m_steady.reset();
        cache->m_stale = true;
        if (g_str_has_prefix(event->type, "object:text-changed")) {
            cache->m_text.reset();
            cache->m_bounds.reset();
        }
    }
    if (!g_str_has_prefix(event->type, "object:text-selection-changed")) {
        return;
    }
    if (!cache->announces(event->source)) {
        if (cache->m_announcers.size() >= maxAnnouncers) {
            cache->m_announcers.erase(cache->m_announcers.begin());
        }
        cache->m_announcers.push_back(refObject(event->source));
    }
    if (cache->m_onSelectionChange) {
        cache->m_onSelectionChange();
    }
}

bool AtspiSelectionCache::announces(AtspiAccessible* accessible) const
{
    for (const auto& announcer : m_announcers) {
        if (announcer.get() == accessible) {
            return true;
        }
    }
    return false;
}

void AtspiSelectionCache::clear()
{
    m_element.reset();
    m_application.reset();
    m_announcers.clear();
    m_stale = true;
    m_range.reset();
    m_text.reset();
    m_bounds.reset();
    m_steady.reset();
    m_roleElement.reset();
    m_role.reset();
}

std::optional<AtspiSelectionCache::Range> AtspiSelectionCache::range(AtspiAccessible* accessible, AtspiText* text)
{
    const auto now = Clock::now();
    const bool sameElement = accessible == m_element.get();
    // The rectangle and the text of one step read the range once between them (a step that an
    // announcement brought forward reads it afresh).
    if (sameElement && !m_stale && now - m_readAt < sameStepWindow) {
        return m_range;
    }
    if (sameElement && !m_stale && announces(accessible) && now - m_readAt < maxAge) {
        return m_range;
    }
    if (!sameElement) {
        m_element = refObject(accessible);
        ErrorSlot error;
        m_application.reset(atspi_accessible_get_application(accessible, error.out()));
        m_range.reset();
        m_text.reset();
        m_bounds.reset();
        m_steady.reset();
    }
    m_stale = false;
    m_readAt = now;
    ++m_rangeReads;
    std::optional<Range> fresh;
    ErrorSlot error;
    const GMallocPtr<AtspiRange> range(atspi_text_get_selection(text, 0, error.out()));
    if (!error && range) {
        int start = range->start_offset;
        int end = range->end_offset;
        if (end < start) {
            std::swap(start, end);
        }
        if (start >= 0 && end > start) {
            fresh = Range{start, end};
        }
    }
    // The same range of an unchanged text (a text change drops both at once) keeps its text and bounds.
    if (fresh != m_range) {
        m_range = fresh;
        m_text.reset();
        m_bounds.reset();
        m_steady.reset();
    }
    return m_range;
}

std::optional<QString> AtspiSelectionCache::text(AtspiAccessible* accessible, AtspiText* text, Range range)
{
    if (accessible == m_element.get() && m_range == range && m_text) {
        return m_text;
    }
    ErrorSlot error;
    const GMallocPtr<char> selected(atspi_text_get_text(text, range.first, range.second, error.out()));
    if (error || !selected) {
        return std::nullopt;
    }
    QString result = QString::fromUtf8(selected.get());
    if (accessible == m_element.get() && m_range == range) {
        m_text = result;
    }
    return result;
}

std::optional<AtspiSelectionCache::Bounds> AtspiSelectionCache::bounds(AtspiAccessible* accessible, Range range) const
{
    // A layout change (a resize that rewraps the text) announces nothing; read it afresh now and then.
    if (accessible != m_element.get() || m_range != range || !m_bounds || Clock::now() - m_boundsAt >= maxAge) {
        return std::nullopt;
    }
    return m_bounds;
}

void AtspiSelectionCache::setBounds(AtspiAccessible* accessible, Range range, Bounds bounds)
{
    if (accessible == m_element.get() && m_range == range) {
        m_bounds = bounds;
        m_boundsAt = Clock::now();
    }
}

std::optional<selection::AxRect> AtspiSelectionCache::steadyRect(AtspiAccessible* accessible, Range range,
                                                                 unsigned long layout) const
{
    if (accessible != m_element.get() || m_range != range || !m_steady || m_steady->layout != layout ||
        Clock::now() - m_steady->at >= steadyMaxAge) {
        return std::nullopt;
    }
    return m_steady->rect;
}

void AtspiSelectionCache::confirmRect(AtspiAccessible* accessible, Range range, selection::AxRect rect,
                                      unsigned long layout)
{
    if (accessible == m_element.get() && m_range == range) {
        m_steady = Steady{.rect = rect, .at = Clock::now(), .layout = layout};
    }
}

std::optional<QString> AtspiSelectionCache::role(AtspiAccessible* accessible,
                                                 const std::function<std::optional<QString>()>& read)
{
    const auto now = Clock::now();
    if (accessible == m_roleElement.get() && m_role && now - m_roleReadAt < roleMaxAge) {
        return m_role;
    }
    m_roleElement = refObject(accessible);
    m_roleReadAt = now;
    m_role = read();
    return m_role;
}

} // namespace parlomatic::platform
