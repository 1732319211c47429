#include "selection/Notices.h"

#include "common/Clock.h"

namespace parlomatic::selection {

ThrottledNotices::ThrottledNotices(Notices& target, const Clock& clock, double intervalSeconds)
    : m_target(target), m_clock(clock), m_interval(intervalSeconds)
{}

void ThrottledNotices::tell(NoticeCause cause, const QString& message)
{
    const double now = m_clock.now();
    if (cause != NoticeCause::userMustAct) {
        if (const auto last = m_lastTold.find(message); last != m_lastTold.end() && now - last->second < m_interval) {
            return;
        }
        m_lastTold[message] = now;
    }
    m_target.tell(cause, message);
}

} // namespace parlomatic::selection
