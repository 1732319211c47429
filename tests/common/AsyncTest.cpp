#include "common/Async.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>
#include <optional>

namespace parlomatic {
namespace {

// The result comes back on the GUI thread; a receiver gone by then drops it, and the work itself
// still runs to its end.
TEST(AsyncTest, ResultReachesALiveReceiverOnTheGuiThreadOnly)
{
    QObject receiver;
    std::optional<bool> onGuiThread;
    runInBackground(
        &receiver, [] { return QThread::currentThread() != qApp->thread(); },
        [&](bool workOffGuiThread) { onGuiThread = workOffGuiThread && QThread::currentThread() == qApp->thread(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return onGuiThread.has_value(); }, 5000));
    EXPECT_TRUE(*onGuiThread);

    auto gone = std::make_unique<QObject>();
    std::atomic<bool> worked = false;
    bool delivered = false;
    runInBackground(
        gone.get(), [&] { worked = true; }, [&] { delivered = true; });
    gone.reset();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_TRUE(worked);
    EXPECT_FALSE(delivered);
}

} // namespace
} // namespace parlomatic
