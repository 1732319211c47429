#pragma once

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

#include <type_traits>
#include <utility>

// The one way work leaves the GUI thread and comes back: blocking jobs (HTTP, the keyring, language
// detection) run on the shared thread pool; what they find is handed to the GUI thread and dropped
// there when the object it was meant for is gone. Every QObject handed in lives on the GUI thread.
// Header only: the Qt-free code of this folder (also linked by the local services) stays so.
namespace parlomatic {

// Queues `job(*context)` for the GUI thread; it is dropped if `context` is gone by the time it
// would run. Callable from any thread, also the GUI thread (the job then runs on a later turn).
template <typename T, typename Job> void postToGui(QPointer<T> context, Job job)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [context = std::move(context), job = std::move(job)]() mutable {
            if (context) {
                job(*context);
            }
        },
        Qt::QueuedConnection);
}

// Runs `work()` on the shared thread pool; nothing comes back.
template <typename Work> void runInBackground(Work work)
{
    QThreadPool::globalInstance()->start(std::move(work));
}

// Runs `work()` on the shared thread pool, then `done(result)` (`done()` for work without a result)
// on the GUI thread, unless `context` is gone by then. Call on the GUI thread.
template <typename Work, typename Done> void runInBackground(QObject* context, Work work, Done done)
{
    runInBackground([guard = QPointer<QObject>(context), work = std::move(work), done = std::move(done)]() mutable {
        if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
            work();
            postToGui(std::move(guard), [done = std::move(done)](QObject&) mutable { done(); });
        } else {
            postToGui(std::move(guard),
                      [done = std::move(done), result = work()](QObject&) mutable { done(std::move(result)); });
        }
    });
}

} // namespace parlomatic
