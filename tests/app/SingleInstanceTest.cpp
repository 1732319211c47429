#include "app/SingleInstance.h"
#include "app/SystemBrowserSignIn.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

namespace parlomatic::app {
namespace {

// The browser's launch carries the sign-in answer whole; a line break in it cannot start a line of its own.
TEST(SingleInstanceTest, ALaterLaunchHandsOverItsUrlsOrAsksToBeShown)
{
    const QString name = QStringLiteral("parlomatic-urls-%1").arg(QCoreApplication::applicationPid());
    SingleInstance running(name);
    ASSERT_EQ(running.claim(), SingleInstance::Role::primary);
    QSignalSpy urls(&running, &SingleInstance::urlReceived);
    QSignalSpy shown(&running, &SingleInstance::activated);

    const QString answer = QStringLiteral("app.parlomatic.parlomatic:/callback?code=c%20d&state=s");
    EXPECT_EQ(SingleInstance(name).claim({answer, QStringLiteral("x.y:/z\nactivate")}),
              SingleInstance::Role::handedOver);
    ASSERT_TRUE(QTest::qWaitFor([&] { return urls.size() == 2; }, 5000));
    EXPECT_EQ(urls[0][0].toString(), answer);
    EXPECT_EQ(urls[1][0].toString(), QStringLiteral("x.y:/z%0Aactivate"));
    EXPECT_EQ(shown.size(), 0);

    EXPECT_EQ(SingleInstance(name).claim(), SingleInstance::Role::handedOver);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown.size() == 1; }, 5000));

    // A key binding's `parlomatic --replace` asks for the action alone, not to be shown.
    QSignalSpy actions(&running, &SingleInstance::actionRequested);
    EXPECT_EQ(SingleInstance(name).claim({}, {QStringLiteral("replace")}), SingleInstance::Role::handedOver);
    ASSERT_TRUE(QTest::qWaitFor([&] { return actions.size() == 1; }, 5000));
    EXPECT_EQ(actions[0][0].toString(), QStringLiteral("replace"));
    EXPECT_EQ(shown.size(), 1);

    // Nobody signs in: the answer is dropped with one line that holds none of its code.
    test::LogCapture log;
    receiveRedirect(answer);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log.lines().empty(); }, 5000));
    QThreadPool::globalInstance()->waitForDone();
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("app.parlomatic.parlomatic:"), std::string::npos);
    EXPECT_EQ(log.lines()[0].find("code"), std::string::npos);

    // A launch during the first instance's shutdown becomes the first instance itself.
    running.close();
    EXPECT_EQ(SingleInstance(name).claim(), SingleInstance::Role::primary);
}

} // namespace
} // namespace parlomatic::app
