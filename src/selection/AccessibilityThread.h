#pragma once

#include "selection/AccessibilityRunner.h"
#include "selection/SelectionReader.h"

#include <QObject>
#include <QThread>

#include <atomic>
#include <chrono>
#include <memory>

namespace parlomatic::selection {

// The accessibility layer on a thread of its own: the layer is made, used and destroyed there
// only, and the GUI thread never waits on another application. A layer that says it is lost
// (isConnected() false: its bus went away, or its helper process ended) is made anew there, at once
// after a job and otherwise within connectionCheck, so the watcher goes on.
class AccessibilityThread final : public AccessibilityRunner {
public:
    using Factory = std::function<std::unique_ptr<AccessibilityBackend>()>;
    static constexpr std::chrono::milliseconds connectionCheck{1000};

    // Starts the thread and makes the layer there with `factory` (again after each loss of the bus);
    // the factory must always make one (a layer without a bus says so through isConnected()).
    // With `layerWatches`, the layers it makes run the poll steps themselves (watches()).
    explicit AccessibilityThread(Factory factory, bool layerWatches = false);
    // Lets the jobs already given finish, destroys the layer on its thread and ends the thread.
    ~AccessibilityThread() override;
    AccessibilityThread(const AccessibilityThread&) = delete;
    AccessibilityThread& operator=(const AccessibilityThread&) = delete;

    void run(QObject* context, Job job) override;
    void setChangeListener(std::function<void()> changed) override;
    bool watches() const override { return m_layerWatches; }
    void watch(const SelectionWatch& watch, std::function<void(SelectionReading, std::int64_t)> changed) override;

    // How many layers were made so far: 1, plus one per bus lost. Any thread.
    int layersMade() const { return m_layersMade.load(); }

private:
    class Worker;
    void announce();
    void deliver(SelectionReading reading, std::int64_t generation);

    QThread m_thread;
    // Lives on m_thread; deleted once it has ended.
    Worker* m_worker = nullptr;
    // Lives on the GUI thread: continuations and announcements are delivered through it.
    QObject m_relay;
    std::function<void()> m_changed;
    bool m_layerWatches = false;
    std::function<void(SelectionReading, std::int64_t)> m_reading;
    std::atomic<bool> m_announcementQueued = false;
    std::atomic<int> m_layersMade = 0;
};

} // namespace parlomatic::selection
