#include "service/TranslatorRequest.h"

namespace parlomatic::service {

HttpRequest makeServiceRequest(std::string method, std::string_view apiDomain, std::string_view path,
                               const nlohmann::json& body, std::string_view accessToken)
{
    HttpRequest request;
    request.method = std::move(method);
    request.url = "https://" + std::string(apiDomain) + std::string(path);
    // The default strict mode would throw on text that is not UTF-8, and the selection is foreign text.
    request.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    request.headers = {{"Authorization", "Bearer " + std::string(accessToken)}, {"Content-Type", "application/json"}};
    request.timeout = std::chrono::seconds(60);
    return request;
}

std::string describe(const HttpError& error)
{
    std::string_view what;
    switch (error.kind) {
    case HttpError::Kind::invalidRequest:
        what = "invalid request";
        break;
    case HttpError::Kind::connection:
        what = "could not connect to the server";
        break;
    case HttpError::Kind::timeout:
        what = "the request timed out";
        break;
    case HttpError::Kind::tls:
        what = "secure connection failed";
        break;
    case HttpError::Kind::bodyTooLarge:
        what = "the response is too large";
        break;
    case HttpError::Kind::other:
        what = "bad server response";
        break;
    }
    return error.message.empty() ? std::string(what) : std::string(what) + " (" + error.message + ")";
}

} // namespace parlomatic::service
