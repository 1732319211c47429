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

namespace parlomatic::app {
namespace {

bool onGuiThread()
{
    return QThread::currentThread() == qApp->thread();
}

// The "Continue in your browser" window of one sign-in, made and closed on the GUI thread only.
struct PromptWindow {
    QPointer<ContinueInBrowserWindow> window;
    bool closed = false;

    void show(const std::string& url, std::function<void()> cancel)
    {
        if (closed) {
            return;
        }
        window = new ContinueInBrowserWindow(QString::fromStdString(url));
        QObject::connect(window, &ContinueInBrowserWindow::cancelled, window, std::move(cancel));
        window->show();
        window->raise();
        window->activateWindow();
    }
};

class WindowPrompt final : public identity::BrowserPrompt {
public:
    explicit WindowPrompt(std::shared_ptr<PromptWindow> prompt) : m_prompt(std::move(prompt)) {}
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks): the queued call close() posts owns its functor
    ~WindowPrompt() override { close(); }

    void close() override
    {
        // Queued even on the GUI thread: the window may be the one whose Cancel ended the flow. Queued
        // after its making when that was queued, or else marked so that it is never made.
        postToGui(QPointer<QCoreApplication>(qApp), [prompt = m_prompt](QCoreApplication&) {
            prompt->closed = true;
            if (prompt->window) {
                prompt->window->dismiss();
                prompt->window->deleteLater();
            }
        });
    }

private:
    std::shared_ptr<PromptWindow> m_prompt;
};

} // namespace

identity::SystemBrowserSession::Options systemBrowserOptions(std::chrono::milliseconds timeout)
{
    identity::SystemBrowserSession::Options options;
    options.timeout = timeout;
    // From another thread the GUI thread is not waited for: it may be waiting for that thread.
    options.openURL = [](const std::string& url) {
        const auto open = [url] {
            return QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::StrictMode));
        };
        if (onGuiThread()) {
            return open();
        }
        postToGui(QPointer<QCoreApplication>(qApp), [open](QCoreApplication&) {
            if (!open()) {
                logError("The browser could not be opened for signing in");
            }
        });
        return true; // handed over; a failure is logged there, and the prompt stays for the user
    };
    options.showPrompt = [](const std::string& url, std::function<void()> cancel) {
        auto prompt = std::make_shared<PromptWindow>();
        if (onGuiThread()) {
            prompt->show(url, std::move(cancel));
        } else {
            postToGui(QPointer<QCoreApplication>(qApp),
                      [prompt, url, cancel = std::move(cancel)](QCoreApplication&) mutable {
                          prompt->show(url, std::move(cancel));
                      });
        }
        return std::make_unique<WindowPrompt>(prompt);
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

} // namespace parlomatic::app
