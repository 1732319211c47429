#pragma once

#include "common/HttpClient.h"
#include "identity/AuthenticationError.h"
#include "identity/Telemetry.h"

#include <nlohmann/json.hpp>

#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace parlomatic::identity {

// What came back for one request: a transport error, or a response with its body.
struct Response {
    std::optional<std::string> data;
    std::optional<HttpResponse> response;
    std::optional<HttpError> error;
    std::string url;
};

using Headers = std::map<std::string, std::string>;

// Sorts a response into success (with the body's JSON value, when it is JSON) or an error:
// transport errors, statuses outside 200..300, empty bodies (except 204) and non-JSON bodies.
std::expected<std::optional<nlohmann::json>, AuthenticationError> classify(const Response& response);

// Handler of results that are decoded from a JSON object.
template <typename T> using ObjectDecoder = std::function<std::expected<T, std::string>(const nlohmann::json& object)>;

// Prefixes "openid" to a text "scope" parameter that lacks that word.
void applyScopeRule(nlohmann::json& parameters);

// The HTTP request for a request's fields: query items for GET, a JSON body otherwise.
HttpRequest buildHttpRequest(const std::string& url, const std::string& method, const nlohmann::json& parameters,
                             const Headers& headers, const Telemetry& telemetry);

Response perform(HttpClient& session, const HttpRequest& request);

// One call to the identity service, as an immutable value that can be started from any thread.
// The result handler turns the classified response into the typed result.
template <typename T> class Request {
public:
    using Result = std::expected<T, AuthenticationError>;
    using Handler = std::function<Result(const Response&)>;

    Request(std::shared_ptr<HttpClient> session, std::string url, std::string method, Handler handle,
            nlohmann::json parameters = nlohmann::json::object(), Headers headers = {}, Telemetry telemetry = {})
        : m_session(std::move(session)), m_url(std::move(url)), m_method(std::move(method)),
          m_handle(std::move(handle)), m_parameters(std::move(parameters)), m_headers(std::move(headers)),
          m_telemetry(std::move(telemetry))
    {
        if (!m_parameters.is_object()) {
            m_parameters = nlohmann::json::object();
        }
        applyScopeRule(m_parameters);
    }

    // Runs the request on the calling thread and blocks until the outcome is known.
    Result start() const
    {
        return m_handle(perform(*m_session, buildHttpRequest(m_url, m_method, m_parameters, m_headers, m_telemetry)));
    }

    // A copy holding these parameters too (the given value wins on a clash).
    Request parameters(const nlohmann::json& extra) const
    {
        Request copy = *this;
        if (extra.is_object()) {
            for (const auto& [key, value] : extra.items()) {
                copy.m_parameters[key] = value;
            }
        }
        applyScopeRule(copy.m_parameters);
        return copy;
    }

    // A copy with these header fields merged in.
    Request headers(const Headers& extra) const
    {
        Request copy = *this;
        for (const auto& [name, value] : extra) {
            copy.m_headers[name] = value;
        }
        return copy;
    }

    const std::string& url() const { return m_url; }
    const std::string& method() const { return m_method; }
    const nlohmann::json& parameters() const { return m_parameters; }
    const Headers& headers() const { return m_headers; }
    const Telemetry& telemetry() const { return m_telemetry; }

private:
    std::shared_ptr<HttpClient> m_session;
    std::string m_url;
    std::string m_method;
    Handler m_handle;
    nlohmann::json m_parameters;
    Headers m_headers;
    Telemetry m_telemetry;
};

// The handler of results decoded from a JSON object (token sets, key sets).
template <typename T> typename Request<T>::Handler objectHandler(ObjectDecoder<T> decode)
{
    return [decode = std::move(decode)](const Response& response) -> typename Request<T>::Result {
        const long status = response.response ? response.response->status : 0;
        auto classified = classify(response);
        if (!classified) {
            return std::unexpected(std::move(classified.error()));
        }
        if (!*classified || !(*classified)->is_object()) {
            if (!response.data || response.data->empty()) {
                return std::unexpected(AuthenticationError::emptyBody(status));
            }
            return std::unexpected(AuthenticationError::unusableBody(*response.data, status));
        }
        auto decoded = decode(**classified);
        if (!decoded) {
            return std::unexpected(AuthenticationError::decodingFailed(std::move(decoded.error()), status));
        }
        return std::move(*decoded);
    };
}

// The handler of calls whose answer carries nothing of interest.
Request<void>::Handler noBodyHandler();

} // namespace parlomatic::identity
