#include "app/SystemBrowserSignIn.h"

#include "app/ContinueInBrowserWindow.h"
#include "common/Async.h"
#include "common/Log.h"
#include "identity/IdentityWebAuth.h"

#include <QApplication>
#include <QDesktopServices>
#include <QPointer>
#include <QThread>
#include <QUrl>

#include <utility>

namespace parlomatic {
namespace {

template <typename F> void runOnGuiThread(F&& work)
{
    if (QThread::currentThread() == qApp->thread()) {
        work();
    } else {
        QMetaObject::invokeMethod(qApp, std::forward<F>(work), Qt::BlockingQueuedConnection);
    }
}

class WindowPrompt final : public identity::BrowserPrompt {
public:
    explicit WindowPrompt(QPointer<ContinueInBrowserWindow> window) : m_window(std::move(window)) {}
    ~WindowPrompt() override { close(); }

    void close() override
    {
        // Queued even on the GUI thread: the window may be the one whose Cancel ended the flow.
        postToGui(m_window, [](ContinueInBrowserWindow& window) {
            window.dismiss();
            window.deleteLater();
        });
    }

private:
    QPointer<ContinueInBrowserWindow> m_window;
};

} // namespace

identity::SystemBrowserSession::Options systemBrowserOptions(std::chrono::milliseconds timeout)
{
    identity::SystemBrowserSession::Options options;
    options.timeout = timeout;
    options.openURL = [](const std::string& url) {
        bool opened = false;
        runOnGuiThread(
            [&] { opened = QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::StrictMode)); });
        return opened;
    };
    options.showPrompt = [](const std::string& url, std::function<void()> cancel) {
        QPointer<ContinueInBrowserWindow> window;
        runOnGuiThread([&] {
            window = new ContinueInBrowserWindow(QString::fromStdString(url));
            QObject::connect(window, &ContinueInBrowserWindow::cancelled, window, std::move(cancel));
            window->show();
            window->raise();
            window->activateWindow();
        });
        return std::make_unique<WindowPrompt>(window);
    };
    return options;
}

void receiveRedirect(const QString& url)
{
    runInBackground([url = url.toStdString()] {
        if (!identity::SystemBrowserSession::deliverRedirect(url)) {
            // Only the scheme: the rest may carry an authorization code.
            logError("A sign-in answer (" + url.substr(0, url.find(':')) +
                     ":) came that no sign-in is waiting for; it was dropped");
        }
    });
}

void installSystemBrowserSignIn()
{
    identity::IdentityWebAuth::setDefaultProvider(
        [] { return std::make_unique<identity::SystemBrowserSession>(systemBrowserOptions()); });
}

} // namespace parlomatic
