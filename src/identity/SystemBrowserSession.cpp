#include "identity/SystemBrowserSession.h"

#include "common/Log.h"
#include "identity/RedirectWaiter.h"
#include "identity/URLText.h"

#include <map>
#include <mutex>
#include <utility>

namespace parlomatic::identity {
namespace {

const char* const returnPage = "<!doctype html><html><head><meta charset=\"utf-8\"><title>Parlomatic</title></head>"
                               "<body><h1>Parlomatic</h1><p>You can close this tab and return to Parlomatic.</p>"
                               "</body></html>";
const char* const otherFlowPage =
    "<!doctype html><html><head><meta charset=\"utf-8\"><title>Parlomatic</title></head>"
    "<body><h1>Parlomatic</h1><p>This sign-in answer does not belong to the sign-in Parlomatic is waiting for. "
    "Return to Parlomatic and try again.</p></body></html>";

bool isPrivateUseScheme(const URLParts& parts)
{
    return parts.scheme.find('.') != std::string::npos;
}

// The started private-use scheme sessions, by their shared state.
struct SchemeReceiver {
    std::string scheme;
    std::string path;
    std::function<bool(const std::string& url)> take;
};
std::mutex receiversMutex;
std::map<const void*, SchemeReceiver>& receivers()
{
    static std::map<const void*, SchemeReceiver> all;
    return all;
}

} // namespace

struct SystemBrowserSession::Shared {
    std::mutex mutex;
    bool closed = false;
    Handlers handlers;
    UniqueFd listener; // from prepare() to start()
    std::unique_ptr<RedirectWaiter> waiter;
    std::unique_ptr<BrowserPrompt> prompt;
    int port = 0;
    std::string origin; // "http://127.0.0.1:<port>"
    std::string path;
    std::string privateScheme; // empty for a loopback redirect

    Handlers currentHandlers()
    {
        const std::lock_guard lock(mutex);
        return closed ? Handlers{} : handlers;
    }
    void fail(const WebSessionFailure& failure)
    {
        if (auto onFailure = currentHandlers().onFailure) {
            onFailure(failure);
        }
    }
    RedirectWaiter::Answer answer(const std::string& target)
    {
        if (target.substr(0, target.find('?')) != path) {
            return {};
        }
        const auto onCallback = currentHandlers().onCallback;
        if (!onCallback) {
            return {.status = 410, .page = {}};
        }
        return onCallback(origin + target) ? RedirectWaiter::Answer{.status = 200, .page = returnPage}
                                           : RedirectWaiter::Answer{.status = 400, .page = otherFlowPage};
    }
};

SystemBrowserSession::SystemBrowserSession(Options options)
    : m_options(std::move(options)), m_shared(std::make_shared<Shared>())
{}

SystemBrowserSession::~SystemBrowserSession()
{
    close();
}

int SystemBrowserSession::port() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->port;
}

std::expected<std::string, std::string> SystemBrowserSession::prepare(const std::string& redirectURL)
{
    const auto parts = parseURL(redirectURL);
    if (parts && isPrivateUseScheme(*parts)) {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->privateScheme = parts->scheme;
        m_shared->path = parts->path;
        return redirectURL;
    }
    if (!parts || parts->scheme != "http" || (parts->host != "127.0.0.1" && parts->host != "localhost")) {
        return std::unexpected("only http://127.0.0.1 and private-use scheme redirect URLs can be received");
    }
    const int wanted = parts->port.value_or(0);
    int port = 0;
    UniqueFd listener = RedirectWaiter::listenOnLoopback(wanted, port);
    if (!listener) {
        return std::unexpected("unable to listen on 127.0.0.1:" + std::to_string(wanted));
    }
    std::string sent = redirectURL;
    if (wanted == 0) {
        sent = redirectURL.substr(0, parts->hostEnd) + ":" + std::to_string(port) +
               redirectURL.substr(parts->authorityEnd);
    }
    const std::lock_guard lock(m_shared->mutex);
    m_shared->listener = std::move(listener);
    m_shared->port = port;
    m_shared->origin = "http://127.0.0.1:" + std::to_string(port);
    m_shared->path = parts->path;
    return sent;
}

void SystemBrowserSession::start(const std::string& authorizeURL, bool, Handlers handlers)
{
    UniqueFd listener;
    std::string privateScheme;
    std::string path;
    {
        const std::lock_guard lock(m_shared->mutex);
        if (m_shared->closed) {
            return;
        }
        m_shared->handlers = std::move(handlers);
        listener = std::move(m_shared->listener);
        privateScheme = m_shared->privateScheme;
        path = m_shared->path;
    }
    const std::weak_ptr<Shared> weak = m_shared;
    if (!privateScheme.empty()) {
        const std::lock_guard lock(receiversMutex);
        receivers()[m_shared.get()] = {.scheme = privateScheme, .path = path, .take = [weak](const std::string& url) {
                                           const auto shared = weak.lock();
                                           const auto onCallback =
                                               shared ? shared->currentHandlers().onCallback : nullptr;
                                           return onCallback && onCallback(url);
                                       }};
    } else if (!listener) {
        m_shared->fail({.cancelled = false, .message = "the redirect URL was not prepared"});
        return;
    }
    RedirectWaiter::Events events;
    events.request = [weak](const std::string& target) {
        const auto shared = weak.lock();
        return shared ? shared->answer(target) : RedirectWaiter::Answer{};
    };
    events.timedOut = [weak] {
        if (const auto shared = weak.lock()) {
            shared->fail({.cancelled = true, .message = {}});
        }
    };
    auto waiter = std::make_unique<RedirectWaiter>(std::move(listener), m_options.timeout, std::move(events));
    {
        const std::lock_guard lock(m_shared->mutex);
        if (!m_shared->closed) {
            m_shared->waiter = std::move(waiter);
        }
    }
    waiter.reset(); // still here when the session was closed meanwhile: stops now

    std::unique_ptr<BrowserPrompt> prompt;
    if (m_options.showPrompt) {
        prompt = m_options.showPrompt(authorizeURL, [weak] {
            if (const auto shared = weak.lock()) {
                shared->fail({.cancelled = true, .message = {}});
            }
        });
    }
    const bool opened = m_options.openURL && m_options.openURL(authorizeURL);
    std::unique_ptr<BrowserPrompt> unwanted; // the session was closed meanwhile
    {
        const std::lock_guard lock(m_shared->mutex);
        (m_shared->closed ? unwanted : m_shared->prompt) = std::move(prompt);
    }
    if (unwanted) {
        unwanted->close();
    }
    if (!opened) {
        logError("The browser could not be opened for signing in");
        if (!m_options.showPrompt) {
            m_shared->fail({.cancelled = false, .message = "the browser could not be opened"});
        }
    }
}

void SystemBrowserSession::close()
{
    std::unique_ptr<RedirectWaiter> waiter;
    std::unique_ptr<BrowserPrompt> prompt;
    UniqueFd listener;
    {
        const std::lock_guard lock(m_shared->mutex);
        if (m_shared->closed) {
            return;
        }
        m_shared->closed = true;
        m_shared->handlers = {};
        waiter = std::move(m_shared->waiter);
        listener = std::move(m_shared->listener);
        prompt = std::move(m_shared->prompt);
    }
    {
        const std::lock_guard lock(receiversMutex);
        receivers().erase(m_shared.get());
    }
    waiter.reset();
    // Moved into the session unless it was closed meanwhile: then it is closed here.
    if (prompt) { // NOLINT(bugprone-use-after-move): a moved-from unique_ptr is null
        prompt->close();
    }
}

bool SystemBrowserSession::deliverRedirect(const std::string& url)
{
    const auto parts = parseURL(url);
    if (!parts) {
        return false;
    }
    std::function<bool(const std::string&)> take;
    {
        const std::lock_guard lock(receiversMutex);
        for (const auto& [key, receiver] : receivers()) {
            if (receiver.scheme == parts->scheme && receiver.path == parts->path) {
                take = receiver.take;
            }
        }
    }
    return take && take(url);
}

} // namespace parlomatic::identity
