#include "common/CurlHttpClient.h"

#include "common/UniqueResource.h"

#include <curl/curl.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace parlomatic {

namespace {

using EasyHandle = UniqueCPtr<CURL, curl_easy_cleanup>;
using ShareHandle = UniqueCPtr<CURLSH, curl_share_cleanup>;
using HeaderList = UniqueCPtr<curl_slist, curl_slist_free_all>;

// curl_slist_append answers the list's head: the list it was given, or a new one when that was empty.
void adoptHead(HeaderList& headers, curl_slist* head)
{
    if (headers.get() != head) {
        headers.reset(head);
    }
}

CURLcode globalInit()
{
    // curl_global_init is not thread-safe itself; a function-local static runs it exactly once.
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    return result;
}

HttpError makeError(HttpError::Kind kind, std::string message)
{
    return HttpError{.kind = kind, .message = std::move(message)};
}

HttpError::Kind kindOf(CURLcode code)
{
    switch (code) {
    case CURLE_URL_MALFORMAT:
    case CURLE_BAD_FUNCTION_ARGUMENT:
        return HttpError::Kind::invalidRequest;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return HttpError::Kind::connection;
    case CURLE_OPERATION_TIMEDOUT:
        return HttpError::Kind::timeout;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
        return HttpError::Kind::tls;
    case CURLE_FILESIZE_EXCEEDED:
        return HttpError::Kind::bodyTooLarge;
    default:
        return HttpError::Kind::other;
    }
}

// RFC 9110 token characters; anything else in a method could smuggle text into the request line.
bool isToken(std::string_view text)
{
    static constexpr std::string_view extra = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::ranges::all_of(text, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               extra.find(c) != std::string_view::npos;
    });
}

// curl takes C strings: a NUL would silently cut a header value or a URL short.
bool hasLineBreakOrNul(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// `lowered` is already in lower case.
bool equalsIgnoringCase(std::string_view text, std::string_view lowered)
{
    return std::ranges::equal(text, lowered,
                              [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// Checked here rather than left to curl, so that curl's "unsupported protocol" can only mean an
// answer that is not HTTP at all.
bool hasHttpScheme(std::string_view url)
{
    const auto scheme = url.substr(0, url.find("://"));
    return scheme.size() < url.size() && (equalsIgnoringCase(scheme, "http") || equalsIgnoringCase(scheme, "https"));
}

bool isExpect(std::string_view name)
{
    return equalsIgnoringCase(name, "expect");
}

struct Transfer {
    HttpResponse response;
    std::size_t maxBodyBytes = 0;
    bool bodyTooLarge = false;
    bool headRequest = false;
    std::size_t maxHeaderBytes = 0;
    std::size_t headerBytes = 0;
    bool http1 = false;
    long status = 0;
    bool framingChecked = false;
    std::string refusal; // why the answer was refused before its end
};

size_t writeBody(char* data, size_t size, size_t count, void* user)
{
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    if (length > transfer->maxBodyBytes - transfer->response.body.size()) {
        transfer->bodyTooLarge = true;
        return 0; // anything short of `length` makes curl abort the transfer
    }
    transfer->response.body.append(data, length);
    return length;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool isDigits(std::string_view text)
{
    return !text.empty() && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

// RFC 9112 section 6.3: differing or malformed Content-Length values leave the body's end unknown.
bool hasSoundContentLength(const HttpHeaders& headers, bool& present)
{
    std::string_view first;
    for (const auto& [name, value] : headers) {
        if (!equalsIgnoringCase(name, "content-length")) {
            continue;
        }
        std::string_view rest = value;
        while (true) {
            const auto comma = rest.find(',');
            const auto item = trimmed(rest.substr(0, comma));
            if (!isDigits(item) || (present && item != first)) {
                return false;
            }
            present = true;
            first = item;
            if (comma == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(comma + 1);
        }
    }
    return true;
}

bool endsWithChunked(const HttpHeaders& headers)
{
    std::string_view last;
    for (const auto& [name, value] : headers) {
        if (equalsIgnoringCase(name, "transfer-encoding")) {
            last = value;
        }
    }
    const auto comma = last.rfind(',');
    return equalsIgnoringCase(trimmed(comma == std::string_view::npos ? last : last.substr(comma + 1)), "chunked");
}

// Empty when the final answer's body has a known end. Without a length or chunked coding an
// HTTP/1 body ends where the connection closes, and a close without TLS's close notice cuts it
// short unnoticed.
std::string framingProblem(const Transfer& transfer)
{
    bool hasLength = false;
    if (!hasSoundContentLength(transfer.response.headers, hasLength)) {
        return "conflicting or invalid Content-Length";
    }
    const bool bodiless = transfer.headRequest || transfer.status == 204 || transfer.status == 304;
    if (transfer.http1 && !bodiless && !hasLength && !endsWithChunked(transfer.response.headers)) {
        return "response has neither a length nor chunked coding";
    }
    return {};
}

size_t writeHeader(char* data, size_t size, size_t count, void* user)
{
    auto* transfer = static_cast<Transfer*>(user);
    HttpHeaders& headers = transfer->response.headers;
    const std::size_t length = size * count;
    transfer->headerBytes += length;
    if (transfer->headerBytes > transfer->maxHeaderBytes) {
        transfer->refusal = "response headers too large";
        return 0;
    }
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    if (line.starts_with("HTTP/")) {
        // A new status line: whatever came before belonged to an interim (1xx) answer.
        headers.clear();
        transfer->http1 = line.starts_with("HTTP/1.");
        const auto space = line.find(' ');
        const auto code = space == std::string_view::npos ? std::string_view() : line.substr(space + 1, 3);
        transfer->status = isDigits(code) ? std::stol(std::string(code)) : 0;
        return length;
    }
    if (line.empty()) {
        if (transfer->status >= 200 && !transfer->framingChecked) {
            transfer->framingChecked = true;
            transfer->refusal = framingProblem(*transfer);
            return transfer->refusal.empty() ? length : 0;
        }
        return length;
    }
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
        // An obsolete folded line continues the previous header's value.
        if (!headers.empty() && !trimmed(line).empty()) {
            std::string& value = headers.back().second;
            value += value.empty() ? "" : " ";
            value += trimmed(line);
        }
        return length;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        return length;
    }
    headers.emplace_back(std::string(line.substr(0, colon)), std::string(trimmed(line.substr(colon + 1))));
    return length;
}

} // namespace

struct CurlHttpClient::Impl {
    Options options;
    std::atomic<bool> aborting = false;
    // curl's progress callback: a non-zero answer ends the transfer.
    static int progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
    {
        return static_cast<Impl*>(self)->aborting.load() ? 1 : 0;
    }
    CURLcode initResult = CURLE_OK;
    std::string systemCaPath;

    std::array<std::mutex, CURL_LOCK_DATA_LAST> shareLocks;
    ShareHandle share;

    std::mutex poolMutex;
    std::vector<EasyHandle> idle; // declared after `share`: handles must go before the share they use

    static void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* user)
    {
        static_cast<Impl*>(user)->shareLocks[static_cast<std::size_t>(data)].lock();
    }
    static void unlockShare(CURL*, curl_lock_data data, void* user)
    {
        static_cast<Impl*>(user)->shareLocks[static_cast<std::size_t>(data)].unlock();
    }

    // curl counts a connection with unread bytes as alive, but bytes that arrive while no request
    // is out (a late duplicate answer, say) would be read as the next request's answer.
    static bool hasUnreadInput(CURL* handle)
    {
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD) {
            return false;
        }
        pollfd waiting{.fd = socket, .events = POLLIN, .revents = 0};
        return poll(&waiting, 1, 0) != 0;
    }

    EasyHandle acquire()
    {
        while (true) {
            EasyHandle handle;
            {
                std::lock_guard lock(poolMutex);
                if (idle.empty()) {
                    break;
                }
                handle = std::move(idle.back());
                idle.pop_back();
            }
            if (!hasUnreadInput(handle.get())) {
                return handle;
            }
            // Dropping the handle closes that connection.
        }
        EasyHandle handle(curl_easy_init());
        if (handle && share) {
            curl_easy_setopt(handle.get(), CURLOPT_SHARE, share.get());
        }
        return handle;
    }

    void release(EasyHandle handle)
    {
        std::lock_guard lock(poolMutex);
        if (idle.size() < options.maxIdleHandles) {
            idle.push_back(std::move(handle));
        }
    }
};

CurlHttpClient::CurlHttpClient() : CurlHttpClient(Options{}) {}

CurlHttpClient::CurlHttpClient(Options options) : d(std::make_unique<Impl>())
{
    d->options = std::move(options);
    d->initResult = globalInit();
    if (d->initResult != CURLE_OK) {
        return;
    }

    // Sharing the connection cache between threads is unsupported by libcurl, so connections stay
    // with their easy handle (see the pool); TLS sessions and resolved names are safe to share.
    d->share.reset(curl_share_init());
    if (d->share) {
        CURLSH* share = d->share.get();
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Impl::lockShare);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::unlockShare);
        curl_share_setopt(share, CURLSHOPT_USERDATA, d.get());
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }

    if (d->options.extraCaFile) {
        // Setting CURLOPT_CAINFO replaces the built-in bundle; the built-in hashed directory, given
        // as CURLOPT_CAPATH, keeps the system's anchors trusted next to the extra file. (A libcurl
        // built without a CA directory would trust the extra file alone; Debian's has one.)
        if (EasyHandle probe{curl_easy_init()}) {
            const char* path = nullptr;
            if (curl_easy_getinfo(probe.get(), CURLINFO_CAPATH, &path) == CURLE_OK && path) {
                d->systemCaPath = path;
            }
        }
    }
}

CurlHttpClient::~CurlHttpClient() = default;

void CurlHttpClient::abortAll()
{
    d->aborting = true;
}

HttpResult CurlHttpClient::send(const HttpRequest& request)
{
    using Kind = HttpError::Kind;
    if (d->initResult != CURLE_OK) {
        return std::unexpected(makeError(Kind::other, curl_easy_strerror(d->initResult)));
    }
    if (!isToken(request.method)) {
        return std::unexpected(makeError(Kind::invalidRequest, "invalid method"));
    }
    if (request.url.find('\0') != std::string::npos || !hasHttpScheme(request.url)) {
        return std::unexpected(makeError(Kind::invalidRequest, "invalid URL"));
    }
    if (request.timeout.count() <= 0) {
        return std::unexpected(makeError(Kind::invalidRequest, "time-out must be positive"));
    }
    const bool bodiless = request.method == "GET" || request.method == "HEAD";
    if (bodiless && !request.body.empty()) {
        return std::unexpected(makeError(Kind::invalidRequest, "a " + request.method + " request has no body"));
    }

    HeaderList headers;
    bool callerSetExpect = false;
    for (const auto& [name, value] : request.headers) {
        if (!isToken(name) || hasLineBreakOrNul(value)) {
            return std::unexpected(makeError(Kind::invalidRequest, "invalid header " + name));
        }
        callerSetExpect = callerSetExpect || isExpect(name);
        // "Name;" is curl's way to send a header with an empty value ("Name:" would remove it).
        std::string line = name;
        line.append(value.empty() ? ";" : ": ").append(value);
        curl_slist* appended = curl_slist_append(headers.get(), line.c_str());
        if (!appended) {
            return std::unexpected(makeError(Kind::other, "out of memory"));
        }
        adoptHead(headers, appended);
    }
    if (!callerSetExpect && !bodiless) {
        // Without this curl waits for "100 Continue" before sending bodies over 1 KiB.
        curl_slist* appended = curl_slist_append(headers.get(), "Expect:");
        if (appended) {
            adoptHead(headers, appended);
        }
    }

    if (d->aborting) {
        return std::unexpected(makeError(Kind::other, "the application is quitting"));
    }
    EasyHandle handle = d->acquire();
    if (!handle) {
        return std::unexpected(makeError(Kind::other, "cannot create a transfer"));
    }
    CURL* curl = handle.get();
    curl_easy_reset(curl); // keeps the open connection and the share, drops the last request's options

    Transfer transfer;
    transfer.maxBodyBytes = d->options.maxBodyBytes;
    transfer.maxHeaderBytes = d->options.maxHeaderBytes;
    transfer.headRequest = request.method == "HEAD";
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};
    const auto timeoutMs = static_cast<long>(request.timeout.count());

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    // A proxy's CONNECT answer has no body and no length; it is not the server's answer.
    curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    if (const std::optional<std::filesystem::path>& caFile = d->options.extraCaFile) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile->c_str());
        if (!d->systemCaPath.empty()) {
            curl_easy_setopt(curl, CURLOPT_CAPATH, d->systemCaPath.c_str());
        }
    }
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(d->options.maxBodyBytes));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer.data());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &writeHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Impl::progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, d.get());

    if (request.method == "GET") {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else {
        if (request.method != "POST") {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        if (request.method == "POST" || !request.body.empty()) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
        }
    }

    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    // The handle must not keep pointers into this frame once it sits in the pool.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    d->release(std::move(handle));

    if (!transfer.refusal.empty()) {
        return std::unexpected(makeError(Kind::other, std::move(transfer.refusal)));
    }
    if (code != CURLE_OK) {
        const Kind kind = transfer.bodyTooLarge ? Kind::bodyTooLarge : kindOf(code);
        std::string message =
            kind == Kind::bodyTooLarge ? std::string("response body too large") : std::string(curl_easy_strerror(code));
        if (kind != Kind::bodyTooLarge && errorBuffer[0] != '\0') {
            message += ": ";
            message += errorBuffer.data();
        }
        return std::unexpected(makeError(kind, std::move(message)));
    }
    if (status == 0) {
        return std::unexpected(makeError(Kind::other, "no HTTP response"));
    }
    transfer.response.status = status;
    return std::move(transfer.response);
}

} // namespace parlomatic
