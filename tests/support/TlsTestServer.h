#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

namespace parlomatic::test {

// An HTTPS server on 127.0.0.1 for tests and benchmarks.
//
// The constructor generates, with OpenSSL, a fresh CA and a server certificate signed by it for
// 127.0.0.1 and localhost, and writes the CA certificate as PEM to a temporary file (caFile()) that a
// client can trust through its extra-CA option, and binds an ephemeral port on 127.0.0.1, so port()
// and the URLs are known at once. Install handlers on server() first, then call start(), which
// serves in a background thread. The destructor (or stop()) ends the server, wakes handlers blocked
// in waitForStop() and removes the CA file.
//
// Keep-alive connections stay open for any number of requests (2 s idle at most), so connection
// reuse by a client shows up in handshakes() and connections().
class TlsTestServer {
public:
    TlsTestServer();
    ~TlsTestServer();

    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    // Where handlers go (Get, Post, Patch, ...). Install them before start().
    httplib::Server& server();

    // Serves until stop(). False when the port could not be bound or serving did not begin.
    bool start();
    // Idempotent; also done by the destructor. Closes the port also when start() was never called.
    void stop();

    int port() const { return m_port; }
    // "127.0.0.1:<port>", the form of a configured service domain.
    std::string hostAndPort() const;
    // "https://127.0.0.1:<port>".
    std::string baseUrl() const;
    // The PEM file of the generated CA certificate.
    const std::filesystem::path& caFile() const { return m_caFile; }

    // Writes the server's certificate and private key as PEM files, for another server that clients
    // of caFile() are to trust. False when a file cannot be written.
    bool writeServerCredentials(const std::filesystem::path& certificateFile,
                                const std::filesystem::path& keyFile) const;

    // TLS handshakes begun by clients (ClientHello messages received), and distinct client
    // connections that sent at least one request.
    int handshakes() const { return m_handshakes.load(); }
    int connections() const;

    // For handlers that must not answer: blocks until the server stops or `limit` passes.
    // True when the server is stopping.
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
    std::set<std::pair<std::string, int>> m_peers;
};

// A fresh CA and a server certificate for 127.0.0.1 and localhost signed by it, written as PEM
// files "ca.pem", "cert.pem" and "key.pem" into `directory`, for servers that are programs of their
// own. False when something could not be made or written.
bool writeLoopbackTlsFiles(const std::filesystem::path& directory);

} // namespace parlomatic::test
