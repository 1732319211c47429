#include "app/SingleInstance.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

namespace parlomatic {
namespace {

// A quitting instance stops answering first: a launch during its shutdown becomes the first
// instance itself instead of handing over to one that is about to end.
TEST(SingleInstanceTest, AClosedInstanceNoLongerTakesLaterLaunches)
{
    const QString name = QStringLiteral("parlomatic-test-%1").arg(QCoreApplication::applicationPid());
    SingleInstance running(name);
    ASSERT_EQ(running.claim(), SingleInstance::Role::primary);
    SingleInstance later(name);
    EXPECT_EQ(later.claim(), SingleInstance::Role::handedOver);

    running.close();
    SingleInstance afterQuit(name);
    EXPECT_EQ(afterQuit.claim(), SingleInstance::Role::primary);
}

} // namespace
} // namespace parlomatic
