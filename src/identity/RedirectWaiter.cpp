#include "identity/RedirectWaiter.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace parlomatic::identity {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto requestWait = std::chrono::seconds(2);
constexpr std::size_t maxHeadBytes = std::size_t{16} * 1024;
constexpr std::size_t maxConnections = 16;

const char* reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 410:
        return "Gone";
    default:
        return "Not Found";
    }
}

std::string response(const RedirectWaiter::Answer& answer)
{
    std::string text = "HTTP/1.1 " + std::to_string(answer.status) + " " + reason(answer.status) + "\r\n";
    if (!answer.page.empty()) {
        text += "Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n";
    }
    text += "Content-Length: " + std::to_string(answer.page.size()) + "\r\nConnection: close\r\n\r\n" + answer.page;
    return text;
}

// Writes what the socket takes within the bound; a browser that does not read loses the page.
void sendAll(int fd, const std::string& text, Clock::time_point deadline)
{
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += std::size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd writable{.fd = fd, .events = POLLOUT, .revents = 0};
        if (left <= 0 || ::poll(&writable, 1, int(left)) <= 0) {
            return;
        }
    }
}

struct Connection {
    UniqueFd fd;
    std::string head;
    Clock::time_point deadline;
};

// The request target of a whole GET head; nothing for another method.
std::optional<std::string> getTarget(const std::string& head)
{
    if (!head.starts_with("GET ")) {
        return std::nullopt;
    }
    const auto end = head.find(' ', 4);
    return end == std::string::npos ? std::nullopt : std::optional(head.substr(4, end - 4));
}

} // namespace

struct RedirectWaiter::State {
    UniqueFd listener;
    UniqueFd wake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    std::optional<Clock::time_point> deadline;
    Events events;
    std::atomic<bool> stopped{false};
    std::atomic<bool> returned{false};
    std::vector<Connection> connections;

    void run();
    void accept();
    // Reads what came; true when the connection is done with (answered, ended or overrunning).
    bool serve(Connection& connection);
};

namespace {

// The threads of stopped waiters, each joined once it has returned. Never destroyed: a session may
// end during the static destruction at exit, and a thread still busy with an answer then ends with
// the process.
class Retired {
public:
    static Retired& instance()
    {
        static auto* const retired = new Retired; // never deleted, as said above
        return *retired;
    }

    void add(std::jthread thread, std::shared_ptr<const std::atomic<bool>> returned)
    {
        const std::lock_guard lock(m_mutex);
        m_threads.push_back({std::move(thread), std::move(returned)});
    }

    void joinReturned()
    {
        const std::lock_guard lock(m_mutex);
        std::erase_if(m_threads, [](Thread& thread) {
            if (!*thread.returned) {
                return false;
            }
            thread.thread.join();
            return true;
        });
    }

private:
    struct Thread {
        std::jthread thread;
        std::shared_ptr<const std::atomic<bool>> returned;
    };
    std::mutex m_mutex;
    std::vector<Thread> m_threads;
};

} // namespace

void RedirectWaiter::State::run()
{
    while (!stopped) {
        std::vector<pollfd> waits{{.fd = wake.get(), .events = POLLIN, .revents = 0}};
        if (listener) {
            waits.push_back({.fd = listener.get(), .events = POLLIN, .revents = 0});
        }
        std::optional<Clock::time_point> next = deadline;
        for (const Connection& connection : connections) {
            waits.push_back({.fd = connection.fd.get(), .events = POLLIN, .revents = 0});
            next = std::min(next.value_or(connection.deadline), connection.deadline);
        }
        const auto wait =
            next ? std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count())
                 : -1;
        if (::poll(waits.data(), waits.size(), int(std::min<long long>(wait, 60'000))) < 0 && errno != EINTR) {
            break;
        }
        if (stopped) {
            break;
        }
        // Connections first: their entries follow the wake's and the listener's.
        const std::size_t first = listener ? 2 : 1;
        std::vector<bool> done(connections.size(), false);
        for (std::size_t i = 0; i < connections.size(); ++i) {
            done[i] = (waits[first + i].revents != 0 && serve(connections[i])) ||
                      Clock::now() >= connections[i].deadline || stopped;
        }
        for (std::size_t i = connections.size(); i-- > 0;) {
            if (done[i]) {
                connections.erase(connections.begin() + std::ptrdiff_t(i));
            }
        }
        if (listener && (waits[1].revents & POLLIN) != 0) {
            accept();
        }
        if (deadline && Clock::now() >= *deadline && !stopped) {
            deadline.reset();
            events.timedOut();
        }
    }
    connections.clear();
    returned = true;
}

void RedirectWaiter::State::accept()
{
    while (true) {
        UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            return;
        }
        // Browsers open connections ahead and leave some idle: the oldest makes room.
        if (connections.size() >= maxConnections) {
            connections.erase(connections.begin());
        }
        connections.push_back({std::move(fd), {}, Clock::now() + requestWait});
    }
}

bool RedirectWaiter::State::serve(Connection& connection)
{
    char buffer[4096];
    const ssize_t n = ::recv(connection.fd.get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return false;
    }
    if (n <= 0) {
        return true;
    }
    connection.head.append(buffer, std::size_t(n));
    if (connection.head.find("\r\n\r\n") == std::string::npos) {
        return connection.head.size() > maxHeadBytes;
    }
    const auto target = getTarget(connection.head);
    const Answer answer = target && !stopped ? events.request(*target) : Answer{};
    sendAll(connection.fd.get(), response(answer), Clock::now() + requestWait);
    return true;
}

UniqueFd RedirectWaiter::listenOnLoopback(int port, int& bound)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const int on = 1;
    if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || // NOLINT: socket API
        ::listen(fd.get(), SOMAXCONN) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) { // NOLINT: socket API
        return {};
    }
    bound = ntohs(address.sin_port);
    return fd;
}

RedirectWaiter::RedirectWaiter(UniqueFd listener, std::chrono::milliseconds timeout, Events events)
    : m_state(std::make_shared<State>())
{
    Retired::instance().joinReturned();
    m_state->listener = std::move(listener);
    m_state->deadline = Clock::now() + timeout;
    m_state->events = std::move(events);
    m_thread = std::jthread([state = m_state] { state->run(); });
}

RedirectWaiter::~RedirectWaiter()
{
    stop();
    Retired::instance().add(std::move(m_thread), std::shared_ptr<const std::atomic<bool>>(m_state, &m_state->returned));
}

void RedirectWaiter::stop()
{
    if (m_state->stopped.exchange(true)) {
        return;
    }
    // Refuses connections at once; the descriptor itself is closed by the thread that polls it.
    if (m_state->listener) {
        ::shutdown(m_state->listener.get(), SHUT_RDWR);
    }
    const eventfd_t one = 1;
    static_cast<void>(::write(m_state->wake.get(), &one, sizeof one));
}

} // namespace parlomatic::identity
