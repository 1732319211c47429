#pragma once

#include "common/HttpClient.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>

namespace parlomatic {

// The libcurl implementation of HttpClient.
//
// One instance is meant to live for the process and be shared by every caller. Each call is
// blocking and may run on any thread, several at once. Finished transfers leave their easy handle
// (and with it the open connection) in a small pool, so sequential calls to one host reuse one
// connection and one TLS handshake; TLS sessions and resolved names are shared between handles. A
// pooled connection on which unasked bytes have arrived is closed, never read from.
//
// TLS peer and host name verification are always on, and TLS older than 1.2 is refused. Redirects
// are never followed: a 3xx answer is returned as it is. Only http and https URLs are accepted. An
// HTTP/1 answer whose body end is unknown (differing Content-Length values, or neither a length nor
// chunked coding where a body may follow) fails with HttpError::Kind::other. Nothing is logged by
// this class; error messages carry curl's description and never a header value or a body.
class CurlHttpClient final : public HttpClient {
public:
    struct Options {
        // A PEM file of further trusted CA certificates, added to the system trust store (which stays
        // in force). For private deployments and tests.
        std::optional<std::filesystem::path> extraCaFile;
        // Responses with a longer body fail with HttpError::Kind::bodyTooLarge; the rest of the body is
        // not read and the connection is dropped.
        std::size_t maxBodyBytes = std::size_t{8} * 1024 * 1024;
        // Longer response headers (status lines included) fail with HttpError::Kind::other.
        std::size_t maxHeaderBytes = std::size_t{64} * 1024;
        // How many idle handles (open connections) are kept for reuse.
        std::size_t maxIdleHandles = 8;
    };

    CurlHttpClient();
    explicit CurlHttpClient(Options options);
    ~CurlHttpClient() override;

    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    HttpResult send(const HttpRequest& request) override;
    // Through curl's progress callback, which runs at least once a second while a transfer waits.
    void abortAll() override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace parlomatic
