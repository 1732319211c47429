#include "selection/AccessibilityThread.h"

#include "common/Log.h"

#include <QPointer>
#include <QTimer>

namespace parlomatic::selection {

class AccessibilityThread::Worker : public QObject {
public:
    Worker(AccessibilityThread& owner, Factory factory) : m_owner(owner), m_factory(std::move(factory)) {}

    // On the thread: the first layer, and the regular look at its bus.
    void start()
    {
        makeLayer();
        m_check = std::make_unique<QTimer>();
        m_check->setInterval(connectionCheck);
        connect(m_check.get(), &QTimer::timeout, this, [this] { renewIfDisconnected(); });
        m_check->start();
    }

    void runJob(const Job& job, const std::shared_ptr<QPointer<QObject>>& context)
    {
        Then then = m_backend ? job(*m_backend) : Then();
        if (then) {
            QTimer::singleShot(0, &m_owner.m_relay, [context, then = std::move(then)] {
                if (*context) {
                    then();
                }
            });
        }
        renewIfDisconnected();
    }

    // On the thread: kept for the layers made later too.
    void watch(const SelectionWatch& watch)
    {
        m_watch = watch;
        applyWatch();
    }

    // On the thread, last: nothing of the layer may outlive it elsewhere.
    void shutdown()
    {
        m_check.reset();
        m_backend.reset();
    }

private:
    void makeLayer()
    {
        m_backend.reset();
        m_backend = m_factory();
        ++m_owner.m_layersMade;
        if (m_backend) {
            AccessibilityThread* owner = &m_owner;
            m_backend->setChangeListener([owner] { owner->announce(); });
            if (m_watch.every.count() > 0) {
                applyWatch();
            }
        }
    }

    void applyWatch()
    {
        if (m_backend) {
            AccessibilityThread* owner = &m_owner;
            m_backend->watchSelections(m_watch, [owner](SelectionReading reading, std::int64_t generation) {
                owner->deliver(std::move(reading), generation);
            });
        }
    }

    void renewIfDisconnected()
    {
        if (!m_backend || m_backend->isConnected()) {
            m_lossLogged = false;
            return;
        }
        if (!m_lossLogged) {
            logError("The accessibility layer went away (its bus or its helper process); starting it anew.");
            m_lossLogged = true;
        }
        makeLayer();
        // Whatever changed while the bus was gone is looked at now.
        m_owner.announce();
    }

    AccessibilityThread& m_owner;
    Factory m_factory;
    std::unique_ptr<AccessibilityBackend> m_backend;
    std::unique_ptr<QTimer> m_check;
    bool m_lossLogged = false;
    SelectionWatch m_watch;
};

AccessibilityThread::AccessibilityThread(Factory factory, bool layerWatches) : m_layerWatches(layerWatches)
{
    m_thread.setObjectName(QStringLiteral("accessibility"));
    m_worker = new Worker(*this, std::move(factory));
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    Worker* worker = m_worker;
    QTimer::singleShot(0, worker, [worker] { worker->start(); });
}

AccessibilityThread::~AccessibilityThread()
{
    Worker* worker = m_worker;
    QTimer::singleShot(0, worker, [worker] {
        worker->shutdown();
        QThread::currentThread()->quit();
    });
    m_thread.wait();
    delete m_worker;
}

void AccessibilityThread::run(QObject* context, Job job)
{
    auto guarded = std::make_shared<QPointer<QObject>>(context);
    Worker* worker = m_worker;
    // Queued to the worker's thread (a zero timer posts the call there).
    QTimer::singleShot(0, worker, [worker, job = std::move(job), guarded] { worker->runJob(job, guarded); });
}

void AccessibilityThread::setChangeListener(std::function<void()> changed)
{
    m_changed = std::move(changed);
}

void AccessibilityThread::watch(const SelectionWatch& watch,
                                std::function<void(SelectionReading, std::int64_t)> changed)
{
    if (!m_layerWatches) {
        return;
    }
    m_reading = std::move(changed);
    Worker* worker = m_worker;
    QTimer::singleShot(0, worker, [worker, watch] { worker->watch(watch); });
}

void AccessibilityThread::deliver(SelectionReading reading, std::int64_t generation)
{
    QTimer::singleShot(0, &m_relay, [this, reading = std::move(reading), generation]() mutable {
        if (m_reading) {
            m_reading(std::move(reading), generation);
        }
    });
}

void AccessibilityThread::announce()
{
    // A burst of announcements costs one delivery.
    if (m_announcementQueued.exchange(true)) {
        return;
    }
    QTimer::singleShot(0, &m_relay, [this] {
        m_announcementQueued = false;
        if (m_changed) {
            m_changed();
        }
    });
}

} // namespace parlomatic::selection
