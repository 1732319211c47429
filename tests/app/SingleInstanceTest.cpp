#include "app/SingleInstance.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace parlomatic {
namespace {

TEST(SingleInstance, ASecondLaunchHandsOverUntilTheFirstHasGone)
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());

    auto first = std::make_unique<SingleInstance>(QStringLiteral("parlomatic-test"));
    ASSERT_EQ(first->claim(), SingleInstance::Role::primary);
    EXPECT_TRUE(first->socketPath().startsWith(runtime.path()));
    QSignalSpy activated(first.get(), &SingleInstance::activated);

    SingleInstance second(QStringLiteral("parlomatic-test"));
    EXPECT_EQ(second.claim(), SingleInstance::Role::handedOver);
    ASSERT_TRUE(activated.wait(5000));

    // The first one ends; the next launch becomes the first, over whatever it left behind.
    first.reset();
    QFile(runtime.path() + QStringLiteral("/parlomatic-test.socket")).open(QIODevice::WriteOnly);
    SingleInstance third(QStringLiteral("parlomatic-test"));
    EXPECT_EQ(third.claim(), SingleInstance::Role::primary);
}

} // namespace
} // namespace parlomatic
