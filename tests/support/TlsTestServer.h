#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace parlomatic::test {

// An HTTPS server on 127.0.0.1 for tests and benchmarks, with a fresh self-signed certificate for
// 127.0.0.1 and localhost (its PEM is caFile(), for clients to trust). The port is bound by the constructor, so port()
// and the URLs are known at once. Install handlers on server(), then start(); stop() or the destructor ends it, wakes
// handlers in waitForStop() and removes the CA file. Keep-alive connections serve any number of
// requests (2 s idle at most), so a client's connection reuse shows in handshakes().
class TlsTestServer {
public:
    TlsTestServer();
    ~TlsTestServer();

    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    httplib::Server& server() { return *m_server; }

    // Serves until stop(). False when the port could not be bound or serving did not begin.
    bool start();
    // Idempotent; also done by the destructor. Closes the port also when start() was never called.
    void stop();

    // "127.0.0.1:<port>", the form of a configured service domain
    std::string hostAndPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::string baseURL() const { return "https://" + hostAndPort(); }
    const std::filesystem::path& caFile() const { return m_caFile; }

    // Writes the server's certificate and private key as PEM files, for another server that clients
    // of caFile() are to trust. False when a file cannot be written.
    bool writeServerCredentials(const std::filesystem::path& certificateFile,
                                const std::filesystem::path& keyFile) const;

    // ClientHello messages received: one per connection.
    int handshakes() const { return m_handshakes.load(); }

    // For handlers that must not answer: true once the server stops, false when `limit` passes first.
    bool waitForStop(std::chrono::milliseconds limit = std::chrono::seconds(30));

private:
    struct Credentials;

    std::unique_ptr<Credentials> m_credentials;
    std::unique_ptr<httplib::SSLServer> m_server;
    std::filesystem::path m_caFile;
    std::thread m_thread;
    int m_port = -1;
    bool m_wasStarted = false;
    std::atomic<int> m_handshakes{0};

    mutable std::mutex m_mutex;
    std::condition_variable m_stopped;
    bool m_stopping = false;
};

// Writes a fresh self-signed certificate for 127.0.0.1 and localhost as "cert.pem" and "ca.pem" (the same)
// with its key "key.pem" into `directory`, for servers that are programs of their own. False when that failed.
bool writeLoopbackTlsFiles(const std::filesystem::path& directory);

} // namespace parlomatic::test
