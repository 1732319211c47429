#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parlomatic {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers{};
    std::string body{};
    std::chrono::milliseconds timeout{60'000};
};

struct HttpResponse {
    long status = 0;
    HttpHeaders headers;
    std::string body;

    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(std::string_view name) const;
};

// Why a request got no HTTP response at all.
struct HttpError {
    // `other` also covers a server whose answer is not HTTP at all or is not soundly framed.
    enum class Kind { invalidRequest, connection, timeout, tls, bodyTooLarge, other };
    Kind kind = Kind::other;
    std::string message; // never holds a body or a header value
};

using HttpResult = std::expected<HttpResponse, HttpError>;

// A blocking HTTP client, safe to call from several worker threads at once. Redirects are not
// followed; TLS certificates are always verified.
class HttpClient {
public:
    virtual ~HttpClient() = default;
    virtual HttpResult send(const HttpRequest& request) = 0;
    // Ends the transfers under way within about a second and fails every later one at once
    // (HttpError::Kind::other): for an application that is quitting. Any thread.
    virtual void abortAll() {}
};

} // namespace parlomatic
