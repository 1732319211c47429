#include "TlsHttpServer.h"

#include "HttpHead.h"

#include <openssl/err.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace parlomatic::textservice {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t readSize = 16 * 1024;
// After an answer that leaves a body unread, so much more is read and dropped before closing.
constexpr std::size_t drainBytes = 1024 * 1024;
constexpr std::chrono::milliseconds drainTime{1'000};
// Requests or answers this large leave freed memory in malloc's arenas; it is handed back to the
// system after them, so a burst of large requests does not keep the service large.
constexpr std::size_t largeExchange = 64 * 1024;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

// A TLS connection over a non-blocking socket; every call gives up at its deadline.
class TlsStream {
public:
    TlsStream(int fd, SSL* ssl) : m_fd(fd), m_ssl(ssl) {}

    bool handshake(Clock::time_point deadline)
    {
        return run([this] { return SSL_accept(m_ssl); }, deadline) > 0;
    }
    // Appends what comes next, at most `most` bytes; false at the end, on an error or the deadline.
    bool readSome(std::string& buffer, std::size_t most, Clock::time_point deadline)
    {
        char chunk[readSize];
        const int want = static_cast<int>(std::min(most, sizeof chunk));
        const int n = run([&] { return SSL_read(m_ssl, chunk, want); }, deadline);
        if (n <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    bool writeAll(std::string_view data, Clock::time_point deadline)
    {
        while (!data.empty()) {
            const int want = static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20));
            const int n = run([&] { return SSL_write(m_ssl, data.data(), want); }, deadline);
            if (n <= 0) {
                return false;
            }
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    // Sends the TLS close and reads (and drops) what the client still sends, within bounds.
    void closeGently()
    {
        (void)SSL_shutdown(m_ssl);
        ::shutdown(m_fd, SHUT_WR);
        const auto deadline = Clock::now() + drainTime;
        char chunk[readSize];
        for (std::size_t drained = 0; drained < drainBytes;) {
            pollfd wait{m_fd, POLLIN, 0};
            if (::poll(&wait, 1, remainingMs(deadline)) <= 0) {
                return;
            }
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN))) {
                return;
            }
            drained += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        }
    }

private:
    template <typename Operation> int run(Operation operation, Clock::time_point deadline)
    {
        for (;;) {
            ERR_clear_error();
            const int n = operation();
            if (n > 0) {
                return n;
            }
            const int error = SSL_get_error(m_ssl, n);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                return -1;
            }
            pollfd wait{m_fd, static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
            const int ready = ::poll(&wait, 1, remainingMs(deadline));
            if (ready == 0 || (ready < 0 && errno != EINTR)) {
                return -1;
            }
        }
    }

    int m_fd;
    SSL* m_ssl;
};

std::string_view reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    default:
        return status >= 500 ? "Server Error" : "Error";
    }
}

std::string serialize(const httplib::Response& response, bool keepAlive)
{
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " ";
    out += reasonPhrase(response.status);
    out += "\r\n";
    for (const auto& [name, value] : response.headers) {
        if (!equalsNoCase(name, "Content-Length") && !equalsNoCase(name, "Connection")) {
            out += name + ": " + value + "\r\n";
        }
    }
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    out += response.body;
    return out;
}

enum class BodyRead { ok, tooLarge, malformed, failed };

// Reads a chunked body into `body`, taking from `buffer` first; at most `limit` bytes of content.
BodyRead readChunked(TlsStream& stream, std::string& buffer, std::string& body, std::size_t limit,
                     Clock::time_point deadline)
{
    // The size lines and the trailer share a small bound of their own.
    constexpr std::size_t maxLine = 1024;
    const auto nextLine = [&](std::string& line) -> BodyRead {
        std::size_t end;
        while ((end = buffer.find("\r\n")) == std::string::npos) {
            if (buffer.size() > maxLine) {
                return BodyRead::malformed;
            }
            if (!stream.readSome(buffer, readSize, deadline)) {
                return BodyRead::failed;
            }
        }
        line = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        return BodyRead::ok;
    };
    for (std::string line;;) {
        if (const auto read = nextLine(line); read != BodyRead::ok) {
            return read;
        }
        std::size_t size = 0;
        const std::string_view digits = trimmed(std::string_view(line).substr(0, line.find(';')));
        const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), size, 16);
        if (digits.empty() || parsed.ec != std::errc() || parsed.ptr != digits.data() + digits.size()) {
            return BodyRead::malformed;
        }
        if (size == 0) {
            break;
        }
        if (size > limit - body.size()) {
            return BodyRead::tooLarge;
        }
        for (std::size_t left = size; left > 0;) {
            if (buffer.empty() && !stream.readSome(buffer, std::min(left, readSize), deadline)) {
                return BodyRead::failed;
            }
            const std::size_t take = std::min(left, buffer.size());
            body.append(buffer, 0, take);
            buffer.erase(0, take);
            left -= take;
        }
        if (nextLine(line) != BodyRead::ok || !line.empty()) {
            return BodyRead::malformed;
        }
    }
    for (std::string trailer;;) { // trailer fields are read and dropped
        if (const auto read = nextLine(trailer); read != BodyRead::ok || trailer.empty()) {
            return read;
        }
    }
}

} // namespace

struct TlsHttpServer::Connection {
    UniqueFd fd;
    std::atomic<bool> sentHead{false}; // a whole request head has come
    std::atomic<bool> finished{false};
    std::thread thread;
};

TlsHttpServer::TlsHttpServer(Limits limits, Handlers handlers)
    : m_limits(limits), m_handlers(std::move(handlers)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{}

TlsHttpServer::~TlsHttpServer()
{
    stop();
    reapFinished(true);
}

bool TlsHttpServer::bind(const std::filesystem::path& certificateFile, const std::filesystem::path& keyFile, int port,
                         const std::string& address)
{
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1) {
        return false;
    }
    m_context.reset(SSL_CTX_new(TLS_server_method()));
    if (!m_context || !m_wake || SSL_CTX_set_min_proto_version(m_context.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate_chain_file(m_context.get(), certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_context.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(m_context.get()) != 1) {
        return false;
    }
    SSL_CTX_set_mode(m_context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_RELEASE_BUFFERS);
    // Kept only once it listens: serve() on a socket that failed to bind would spin on its errors.
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof socketAddress;
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0 ||
        ::listen(listener.get(), 1024) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&socketAddress), &length) != 0) {
        return false;
    }
    m_listener = std::move(listener);
    m_port = ntohs(socketAddress.sin_port);
    return true;
}

void TlsHttpServer::stop()
{
    m_stopping = true;
    const eventfd_t one = 1;
    (void)::write(m_wake.get(), &one, sizeof one);
}

bool TlsHttpServer::serve()
{
    if (!m_listener) {
        return false;
    }
    while (!m_stopping) {
        pollfd waits[2] = {{m_listener.get(), POLLIN, 0}, {m_wake.get(), POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        if (waits[1].revents & POLLIN) {
            eventfd_t ignored;
            (void)::read(m_wake.get(), &ignored, sizeof ignored);
        }
        reapFinished(false);
        for (int fd;
             !m_stopping && (fd = ::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
            admitConnection(UniqueFd(fd));
        }
    }
    {
        std::lock_guard lock(m_mutex);
        for (const auto& connection : m_connections) {
            ::shutdown(connection->fd.get(), SHUT_RDWR);
        }
    }
    reapFinished(true);
    return m_stopping;
}

void TlsHttpServer::admitConnection(UniqueFd fd)
{
    std::lock_guard lock(m_mutex);
    if (m_connections.size() >= m_limits.maxConnections) {
        const auto oldest = std::ranges::find_if(m_connections, [](const auto& c) { return !c->sentHead; });
        if (oldest == m_connections.end()) {
            return;
        }
        // Its thread sees the end of the connection and finishes; it is reaped on a later wake.
        ::shutdown((*oldest)->fd.get(), SHUT_RDWR);
        (*oldest)->sentHead = true;
    }
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto& connection = *m_connections.emplace_back(std::make_unique<Connection>());
    connection.fd = std::move(fd);
    try {
        connection.thread = std::thread([this, &connection] {
            runConnection(connection);
            connection.finished = true;
            const eventfd_t one = 1;
            (void)::write(m_wake.get(), &one, sizeof one);
        });
    } catch (const std::system_error&) { // no thread to be had: this client tries again later
        m_connections.pop_back();
    }
}

void TlsHttpServer::reapFinished(bool all)
{
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            const auto next = std::next(it);
            if (all || (*it)->finished) {
                done.splice(done.end(), m_connections, it);
            }
            it = next;
        }
    }
    // The connection's socket is closed here, not by its thread, so that a push-out never meets a
    // number the system has given to another connection.
    for (auto& connection : done) {
        connection->thread.join();
        connection->fd.reset();
    }
}

void TlsHttpServer::runConnection(Connection& connection)
{
    const UniqueCPtr<SSL, SSL_free> ssl(SSL_new(m_context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), connection.fd.get()) != 1) {
        return;
    }
    TlsStream stream(connection.fd.get(), ssl.get());
    if (!stream.handshake(Clock::now() + m_limits.handshake)) {
        return;
    }
    std::string buffer; // read but not yet taken
    for (int served = 0; served < m_limits.maxRequestsPerConnection && !m_stopping; ++served) {
        // Declared first, so it runs once the request and answer below are freed.
        struct TrimAfterLarge {
            bool large = false;
            ~TrimAfterLarge()
            {
                if (large) {
                    ::malloc_trim(0);
                }
            }
        } trim;
        if (served > 0 && buffer.empty() && !stream.readSome(buffer, readSize, Clock::now() + m_limits.keepAlive)) {
            return;
        }
        const auto headDeadline = Clock::now() + m_limits.head;
        httplib::Request request;
        httplib::Response response;
        const auto answer = [&](bool keepAlive) {
            if (m_handlers.log) {
                m_handlers.log(request, response);
            }
            const std::string out = serialize(response, keepAlive && !m_stopping);
            trim.large = out.size() >= largeExchange || request.body.size() >= largeExchange;
            return stream.writeAll(out, Clock::now() + m_limits.write);
        };
        // Answers without taking the rest of the request.
        const auto refuse = [&](int status) {
            if (response.status <= 0) {
                response.status = status;
            }
            if (response.body.empty() && m_handlers.describe) {
                m_handlers.describe(request, response);
            }
            if (answer(false)) {
                stream.closeGently();
            }
        };

        std::size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos && buffer.size() <= m_limits.maxHeadBytes) {
            if (!stream.readSome(buffer, m_limits.maxHeadBytes + 4 - buffer.size(), headDeadline)) {
                return;
            }
        }
        if (headEnd == std::string::npos || headEnd > m_limits.maxHeadBytes) {
            return refuse(431);
        }
        connection.sentHead = true;
        if (!parseHead(std::string_view(buffer).substr(0, headEnd), request)) {
            return refuse(400);
        }
        buffer.erase(0, headEnd + 4);
        const std::string connectionHeader = request.get_header_value("Connection");
        const bool keepAlive = request.version == "HTTP/1.1" ? !equalsNoCase(connectionHeader, "close")
                                                             : equalsNoCase(connectionHeader, "keep-alive");

        m_handlers.admit(request, response);
        if (response.status > 0) {
            return refuse(response.status);
        }
        const bool chunked = request.has_header("Transfer-Encoding");
        std::size_t length = 0;
        if (chunked) {
            if (!equalsNoCase(request.get_header_value("Transfer-Encoding"), "chunked") ||
                request.has_header("Content-Length")) {
                return refuse(400);
            }
        } else if (request.has_header("Content-Length")) {
            const std::string value = request.get_header_value("Content-Length");
            const auto parsed = std::from_chars(value.data(), value.data() + value.size(), length);
            if (value.empty() || parsed.ec != std::errc() || parsed.ptr != value.data() + value.size() ||
                request.get_header_value_count("Content-Length") != 1) {
                return refuse(400);
            }
        }
        if (length > m_limits.maxBodyBytes) {
            return refuse(413);
        }
        if ((chunked || length > 0) && equalsNoCase(request.get_header_value("Expect"), "100-continue") &&
            !stream.writeAll("HTTP/1.1 100 Continue\r\n\r\n", Clock::now() + m_limits.write)) {
            return;
        }
        const auto bodyDeadline = Clock::now() + m_limits.body;
        if (chunked) {
            switch (readChunked(stream, buffer, request.body, m_limits.maxBodyBytes, bodyDeadline)) {
            case BodyRead::ok:
                break;
            case BodyRead::tooLarge:
                return refuse(413);
            case BodyRead::malformed:
                return refuse(400);
            case BodyRead::failed:
                return;
            }
        } else {
            request.body.reserve(length);
            for (;;) {
                const std::size_t take = std::min(buffer.size(), length - request.body.size());
                request.body.append(buffer, 0, take);
                buffer.erase(0, take);
                if (request.body.size() == length) {
                    break;
                }
                if (!stream.readSome(buffer, length - request.body.size(), bodyDeadline)) {
                    return;
                }
            }
        }
        m_handlers.handle(request, response);
        if (!answer(keepAlive) || !keepAlive) {
            return;
        }
    }
}

} // namespace parlomatic::textservice
