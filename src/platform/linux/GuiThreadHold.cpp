#include "platform/linux/GuiThreadHold.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <mutex>

namespace parlomatic::platform {

struct GuiThreadHold::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;   // the GUI thread is in the call
    bool abandoned = false; // it came too late: the call returns at once
    bool released = false;
};

GuiThreadHold::GuiThreadHold(std::chrono::milliseconds patience) : m_state(std::make_shared<State>())
{
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || application->thread() == QThread::currentThread()) {
        return;
    }
    QTimer::singleShot(0, application, [state = m_state] {
        std::unique_lock lock(state->mutex);
        if (state->abandoned) {
            return;
        }
        state->entered = true;
        state->changed.notify_all();
        state->changed.wait(lock, [&state] { return state->released; });
    });
    std::unique_lock lock(m_state->mutex);
    if (!m_state->changed.wait_for(lock, patience, [this] { return m_state->entered; })) {
        m_state->abandoned = true;
    }
}

GuiThreadHold::~GuiThreadHold()
{
    const std::lock_guard lock(m_state->mutex);
    m_state->released = true;
    m_state->changed.notify_all();
}

} // namespace parlomatic::platform
