#pragma once

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>

class QTimer;

namespace parlomatic::app {

// Runs an attempt again after a delay that doubles with every call of schedule(), up to a limit.
class Backoff {
public:
    Backoff(std::chrono::milliseconds first, std::chrono::milliseconds most);
    // Does nothing while an attempt is already scheduled.
    void schedule(QObject& context, std::function<void()> attempt);
    // Cancels the scheduled attempt and starts again from the first delay.
    void reset();
    // The delay of the scheduled attempt; zero when none is.
    std::chrono::milliseconds scheduledDelay() const;

private:
    std::chrono::milliseconds m_first;
    std::chrono::milliseconds m_most;
    std::chrono::milliseconds m_next;
    std::unique_ptr<QTimer> m_timer;
};

} // namespace parlomatic::app
