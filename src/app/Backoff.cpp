#include "app/Backoff.h"

#include <QTimer>

#include <algorithm>

namespace parlomatic::app {

Backoff::Backoff(std::chrono::milliseconds first, std::chrono::milliseconds most)
    : m_first(first), m_most(std::max(first, most)), m_next(first)
{}

void Backoff::schedule(QObject& context, std::function<void()> attempt)
{
    if (m_timer && m_timer->isActive()) {
        return;
    }
    m_timer = std::make_unique<QTimer>();
    m_timer->setSingleShot(true);
    QObject::connect(m_timer.get(), &QTimer::timeout, &context, std::move(attempt));
    m_timer->start(m_next);
    m_next = std::min(m_next * 2, m_most);
}

void Backoff::reset()
{
    if (m_timer) {
        m_timer->stop();
    }
    m_next = m_first;
}

std::chrono::milliseconds Backoff::scheduledDelay() const
{
    return m_timer && m_timer->isActive() ? m_timer->intervalAsDuration() : std::chrono::milliseconds(0);
}

} // namespace parlomatic::app
