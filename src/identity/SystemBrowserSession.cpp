#include "identity/SystemBrowserSession.h"

#include "common/Log.h"
#include "identity/UrlText.h"

#include <httplib.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
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

bool isPrivateUseScheme(const UrlParts& parts)
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
    std::condition_variable closedChanged;
    bool closed = false;
    Handlers handlers;
    std::shared_ptr<httplib::Server> server;
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
    void fail(WebSessionFailure failure)
    {
        if (auto onFailure = currentHandlers().onFailure) {
            onFailure(failure);
        }
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
    const auto parts = parseUrl(redirectURL);
    if (parts && isPrivateUseScheme(*parts)) {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->privateScheme = parts->scheme;
        m_shared->path = parts->path;
        return redirectURL;
    }
    if (!parts || parts->scheme != "http" || (parts->host != "127.0.0.1" && parts->host != "localhost")) {
        return std::unexpected("only http://127.0.0.1 and private-use scheme redirect URLs can be received");
    }
    auto server = std::make_shared<httplib::Server>();
    const int wanted = parts->port.value_or(0);
    const int port = wanted == 0                                 ? server->bind_to_any_port("127.0.0.1")
                     : server->bind_to_port("127.0.0.1", wanted) ? wanted
                                                                 : -1;
    if (port <= 0) {
        return std::unexpected("unable to listen on 127.0.0.1:" + std::to_string(wanted));
    }
    std::string sent = redirectURL;
    if (wanted == 0) {
        sent = redirectURL.substr(0, parts->hostEnd) + ":" + std::to_string(port) +
               redirectURL.substr(parts->authorityEnd);
    }
    std::weak_ptr<Shared> weak = m_shared;
    server->Get(".*", [weak](const httplib::Request& request, httplib::Response& response) {
        const auto shared = weak.lock();
        if (!shared || request.path != shared->path) {
            response.status = 404;
            return;
        }
        const auto onCallback = shared->currentHandlers().onCallback;
        if (!onCallback) {
            response.status = 410;
            return;
        }
        if (onCallback(shared->origin + request.target)) {
            response.set_content(returnPage, "text/html; charset=utf-8");
        } else {
            response.status = 400;
            response.set_content(otherFlowPage, "text/html; charset=utf-8");
        }
        response.set_header("Cache-Control", "no-store");
    });
    // One request per connection, and idle pre-connects dropped soon: stopping waits for them.
    server->set_keep_alive_max_count(1);
    server->set_read_timeout(std::chrono::seconds(2));
    // Not joined: close() may run on a handler's thread, so the thread keeps the server alive and
    // ends once the session is closed.
    std::thread([server] { server->listen_after_bind(); }).detach();
    // Stopping a server that has not begun to listen does nothing, so wait for it to run.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server->is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::lock_guard lock(m_shared->mutex);
    m_shared->server = std::move(server);
    m_shared->port = port;
    m_shared->origin = "http://127.0.0.1:" + std::to_string(port);
    m_shared->path = parts->path;
    return sent;
}

void SystemBrowserSession::start(const std::string& authorizeURL, bool, Handlers handlers)
{
    std::shared_ptr<httplib::Server> server;
    std::string privateScheme;
    std::string path;
    {
        const std::lock_guard lock(m_shared->mutex);
        if (m_shared->closed) {
            return;
        }
        m_shared->handlers = std::move(handlers);
        server = m_shared->server;
        privateScheme = m_shared->privateScheme;
        path = m_shared->path;
    }
    if (!privateScheme.empty()) {
        std::weak_ptr<Shared> weak = m_shared;
        const std::lock_guard lock(receiversMutex);
        receivers()[m_shared.get()] = {privateScheme, path, [weak](const std::string& url) {
                                           const auto shared = weak.lock();
                                           const auto onCallback =
                                               shared ? shared->currentHandlers().onCallback : nullptr;
                                           return onCallback && onCallback(url);
                                       }};
    } else if (!server) {
        m_shared->fail({false, "the redirect URL was not prepared"});
        return;
    }
    // Not joined either, for the same reason as the listener.
    std::thread([shared = m_shared, timeout = m_options.timeout] {
        std::unique_lock lock(shared->mutex);
        if (!shared->closedChanged.wait_for(lock, timeout, [&] { return shared->closed; })) {
            lock.unlock();
            shared->fail({true, {}});
        }
    }).detach();

    std::unique_ptr<BrowserPrompt> prompt;
    if (m_options.showPrompt) {
        std::weak_ptr<Shared> weak = m_shared;
        prompt = m_options.showPrompt(authorizeURL, [weak] {
            if (const auto shared = weak.lock()) {
                shared->fail({true, {}});
            }
        });
    }
    const bool opened = m_options.openURL && m_options.openURL(authorizeURL);
    {
        const std::lock_guard lock(m_shared->mutex);
        if (!m_shared->closed) {
            m_shared->prompt = std::move(prompt);
        }
    }
    if (prompt) {
        prompt->close();
    }
    if (!opened) {
        logError("The browser could not be opened for signing in");
        if (!m_options.showPrompt) {
            m_shared->fail({false, "the browser could not be opened"});
        }
    }
}

void SystemBrowserSession::close()
{
    std::shared_ptr<httplib::Server> server;
    std::unique_ptr<BrowserPrompt> prompt;
    {
        const std::lock_guard lock(m_shared->mutex);
        if (m_shared->closed) {
            return;
        }
        m_shared->closed = true;
        m_shared->handlers = {};
        server = std::move(m_shared->server);
        prompt = std::move(m_shared->prompt);
    }
    m_shared->closedChanged.notify_all();
    {
        const std::lock_guard lock(receiversMutex);
        receivers().erase(m_shared.get());
    }
    if (server) {
        server->stop();
    }
    if (prompt) {
        prompt->close();
    }
}

bool SystemBrowserSession::deliverRedirect(const std::string& url)
{
    const auto parts = parseUrl(url);
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
