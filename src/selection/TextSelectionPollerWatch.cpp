// The poller where the layer steps on its own (the accessibility helper): what it is told to watch,
// and the readings it sends.

#include "selection/TextSelectionPoller.h"

namespace parlomatic::selection {

void TextSelectionPoller::applicationFilterChanged()
{
    if (m_timer && m_runner.watches()) {
        sendWatch();
    }
}

void TextSelectionPoller::holdChanged()
{
    if (m_timer && m_runner.watches()) {
        decideLatest();
    }
}

void TextSelectionPoller::sendWatch()
{
    // Readings of an earlier watch (another filter, or from before a Replace) are not taken.
    m_latest.reset();
    SelectionWatch watch{.every = std::chrono::milliseconds(m_timer && !m_held ? intervalMs : 0),
                         .ownPid = m_ownPid,
                         .turnedOff = m_filter.turnedOffIds ? m_filter.turnedOffIds() : QStringList(),
                         .generation = ++m_watchGeneration};
    m_runner.watch(watch, [this](SelectionReading reading, std::int64_t generation) {
        takeReading(std::move(reading), generation);
    });
}

void TextSelectionPoller::takeReading(SelectionReading reading, std::int64_t generation)
{
    if (!m_timer || generation != m_watchGeneration) {
        return;
    }
    ++m_readingsTaken;
    m_latest = std::move(reading);
    // A step of our own in flight (a shortcut's) decides when it comes back; the timer decides this one.
    if (!m_stepInFlight) {
        decideLatest();
    }
}

void TextSelectionPoller::decideLatest()
{
    // Held, nothing is read: the layer stops its steps until the hold ends.
    if (const bool held = m_hold && m_hold(); held != m_held) {
        m_held = held;
        sendWatch();
    }
    if (m_held) {
        closeBothPanels();
        return;
    }
    if (m_latest && !m_stepInFlight) {
        m_lastStepAt = std::chrono::steady_clock::now();
        decide(*m_latest);
    }
}

} // namespace parlomatic::selection
