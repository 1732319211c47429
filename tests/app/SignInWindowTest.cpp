// The "Continue in your browser" window as the sign-in's prompt: Cancel and closing end the flow
// once; the flow closing the prompt, from any thread, does not.
#include "app/ContinueInBrowserWindow.h"
#include "app/SystemBrowserSignIn.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <thread>

using namespace parlomatic;

class SignInWindowTest : public QObject {
    Q_OBJECT

    static QPointer<app::ContinueInBrowserWindow> shownWindow()
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* window = qobject_cast<app::ContinueInBrowserWindow*>(widget); window && window->isVisible()) {
                return window;
            }
        }
        return nullptr;
    }

private slots:
    void cancelEndsTheFlowOnceAndTheFlowClosesThePromptFromAnyThread()
    {
        int cancels = 0;
        const auto first = app::systemBrowserOptions().showPrompt("https://tenant.example/", [&] { ++cancels; });
        const auto closedByFlow = shownWindow();
        QVERIFY(closedByFlow);
        std::thread([&] { first->close(); }).join();
        QTRY_VERIFY(closedByFlow.isNull());
        QCOMPARE(cancels, 0);

        const QString address = QStringLiteral("https://tenant.example/authorize?state=s-1");
        const auto prompt = app::systemBrowserOptions().showPrompt(address.toStdString(), [&] { ++cancels; });
        const auto window = shownWindow();
        QVERIFY(window);
        QCOMPARE(window->findChild<QLineEdit*>()->text(), address);
        QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("copy")), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), address);

        QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("cancel")), Qt::LeftButton);
        QVERIFY(!window->isVisible());
        window->close();
        QCOMPARE(cancels, 1);
        prompt->close();
        QTRY_VERIFY(window.isNull());
        QCOMPARE(cancels, 1);
    }

    // A flow started off the GUI thread while that thread waits for it.
    void aPromptAskedForFromAnotherThreadDoesNotWaitForTheGuiThread()
    {
        std::unique_ptr<identity::BrowserPrompt> prompt;
        std::thread([&] { prompt = app::systemBrowserOptions().showPrompt("https://tenant.example/", [] {}); }).join();
        QTRY_VERIFY(shownWindow());
        const auto window = shownWindow();
        prompt->close();
        QTRY_VERIFY(window.isNull());
    }
};

QTEST_MAIN(SignInWindowTest)
#include "SignInWindowTest.moc"
