#pragma once

#include "common/UniqueResource.h"

#include <httplib.h> // for its Request and Response records only

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace parlomatic::textservice {

// An HTTP/1.1 server over TLS on 127.0.0.1 that no client can hold up for the others:
// - Each connection has a thread of its own, up to `maxConnections`. When all are taken, a new
//   connection pushes out the oldest one that has not yet sent a whole request head; when every
//   one has, the new connection is closed. A slow or idle client costs one thread, never the
//   service, and a flood of connections cannot keep a fresh one out.
// - Every phase has a deadline for the whole phase, not for each read, so trickling bytes does
//   not stretch it: the TLS handshake (from the accept), a request head (from the handshake, or
//   from its first byte on a kept-alive connection), the body (from the end of the head) and
//   writing the answer. A kept-alive connection without a next request closes after `keepAlive`.
// - A head over `maxHeadBytes` is answered 431 and a body over `maxBodyBytes` 413, counted as the
//   bytes arrive whatever the framing (Content-Length or chunked).
// - `admit` sees each request's head before any of its body is read; a status it sets is answered
//   at once and the connection closed without reading the body. Otherwise "Expect: 100-continue"
//   is granted, the body read and `handle` called. An answer the server makes itself (400, 413,
//   431, or one from `admit` without a body) gets its body from `describe`.
// Every answer that leaves a body unread closes the connection after a short bounded drain, so the
// client can read the answer before the close resets the connection.
class TlsHttpServer {
public:
    struct Limits {
        std::size_t maxConnections = 256;
        std::size_t maxHeadBytes = 32 * 1024;
        std::size_t maxBodyBytes = 1024 * 1024;
        std::chrono::milliseconds handshake{5'000};
        std::chrono::milliseconds head{10'000};
        std::chrono::milliseconds body{20'000};
        std::chrono::milliseconds write{10'000};
        std::chrono::milliseconds keepAlive{5'000};
        int maxRequestsPerConnection = 1000;
    };
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
    struct Handlers {
        Handler admit;
        Handler handle;
        Handler describe;
        // Called for each answer, with the request as far as it was read.
        std::function<void(const httplib::Request&, const httplib::Response&)> log;
    };

    TlsHttpServer(Limits limits, Handlers handlers);
    ~TlsHttpServer();
    TlsHttpServer(const TlsHttpServer&) = delete;
    TlsHttpServer& operator=(const TlsHttpServer&) = delete;

    // Loads the PEM certificate chain and key and binds address:port (an IPv4 address, 127.0.0.1
    // unless a team's balancer on another machine must reach it; port 0: an ephemeral port).
    bool bind(const std::filesystem::path& certificateFile, const std::filesystem::path& keyFile, int port,
              const std::string& address = "127.0.0.1");
    int port() const { return m_port; }
    // Accepts until stop(); then ends every connection and returns once their threads have.
    bool serve();
    // From any thread, also before serve().
    void stop();

private:
    struct Connection;
    void runConnection(Connection& connection);
    void admitConnection(UniqueFd fd);
    void reapFinished(bool all);

    Limits m_limits;
    Handlers m_handlers;
    UniqueCPtr<SSL_CTX, SSL_CTX_free> m_context;
    UniqueFd m_listener;
    UniqueFd m_wake; // an eventfd: stop() and finished connections wake the accepting thread
    int m_port = -1;
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::list<std::unique_ptr<Connection>> m_connections; // in the order they were accepted
};

} // namespace parlomatic::textservice
