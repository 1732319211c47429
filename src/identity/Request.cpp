#include "identity/Request.h"

#include "identity/URLText.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string_view>

namespace parlomatic::identity {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

void setHeader(HttpHeaders& headers, const std::string& name, const std::string& value)
{
    std::erase_if(headers, [&](const auto& header) { return equalsIgnoringCase(header.first, name); });
    headers.emplace_back(name, value);
}

std::string lastPathComponent(std::string_view url)
{
    url = url.substr(0, url.find_first_of("?#"));
    while (!url.empty() && url.back() == '/') {
        url.remove_suffix(1);
    }
    const auto slash = url.rfind('/');
    return std::string(slash == std::string_view::npos ? url : url.substr(slash + 1));
}

} // namespace

void applyScopeRule(nlohmann::json& parameters)
{
    if (!parameters.is_object()) {
        return;
    }
    const auto it = parameters.find("scope");
    if (it == parameters.end() || !it->is_string()) {
        return;
    }
    const auto value = it->get<std::string>();
    std::istringstream words(value);
    std::string word;
    while (words >> word) {
        if (word == "openid") {
            return;
        }
    }
    *it = "openid " + value;
}

HttpRequest buildHttpRequest(const std::string& url, const std::string& method, const nlohmann::json& parameters,
                             const Headers& headers, const Telemetry& telemetry)
{
    HttpRequest request;
    request.url = url;
    request.method = method;
    if (parameters.is_object() && !parameters.empty()) {
        if (equalsIgnoringCase(method, "GET")) {
            std::string query;
            for (const auto& [key, value] : parameters.items()) {
                const std::string text = value.is_string() ? value.get<std::string>() : printJson(value);
                query += (query.empty() ? "" : "&") + percentEncode(key) + "=" + percentEncode(text);
            }
            const auto fragment = request.url.find('#');
            const std::string tail = fragment == std::string::npos ? "" : request.url.substr(fragment);
            request.url = request.url.substr(0, fragment);
            const auto question = request.url.find('?');
            if (question == std::string::npos) {
                request.url += "?" + query;
            } else {
                request.url += (question + 1 == request.url.size() ? "" : "&") + query;
            }
            request.url += tail;
        } else {
            request.body = printJson(parameters);
            setHeader(request.headers, "Content-Type", "application/json");
        }
    }
    for (const auto& [name, value] : headers) {
        setHeader(request.headers, name, value);
    }
    if (telemetry.enabled && telemetry.info) {
        setHeader(request.headers, "Identity-Client", *telemetry.info);
    } else {
        std::erase_if(request.headers,
                      [](const auto& header) { return equalsIgnoringCase(header.first, "Identity-Client"); });
    }
    return request;
}

Response perform(HttpClient& session, const HttpRequest& request)
{
    Response response;
    response.url = request.url;
    HttpResult result = session.send(request);
    if (!result) {
        response.error = std::move(result.error());
        return response;
    }
    response.data = std::move(result->body);
    response.response = std::move(*result);
    response.response->body.clear();
    return response;
}

std::expected<std::optional<nlohmann::json>, AuthenticationError> classify(const Response& response)
{
    if (response.error) {
        return std::unexpected(
            AuthenticationError::transport(*response.error, response.response ? response.response->status : 0));
    }
    if (!response.response) {
        return std::unexpected(AuthenticationError::emptyBody(0));
    }
    const long status = response.response->status;
    const bool hasBody = response.data && !response.data->empty();
    if (status < 200 || status > 300) {
        if (hasBody) {
            auto json = nlohmann::json::parse(*response.data, nullptr, false);
            if (!json.is_discarded() && json.is_object()) {
                return std::unexpected(AuthenticationError(std::move(json), status));
            }
            return std::unexpected(AuthenticationError::unusableBody(*response.data, status));
        }
        return std::unexpected(AuthenticationError::emptyBody(status));
    }
    if (!hasBody) {
        if (status == 204) {
            return std::optional<nlohmann::json>{};
        }
        return std::unexpected(AuthenticationError::emptyBody(status));
    }
    auto json = nlohmann::json::parse(*response.data, nullptr, false);
    if (!json.is_discarded()) {
        return std::optional<nlohmann::json>(std::move(json));
    }
    if (lastPathComponent(response.url) == "change_password") {
        return std::optional<nlohmann::json>{};
    }
    return std::unexpected(AuthenticationError::unusableBody(*response.data, status));
}

Request<void>::Handler noBodyHandler()
{
    return [](const Response& response) -> Request<void>::Result {
        // A revocation answers 200 with nothing in the body (RFC 7009, section 2.2): that is the
        // success, not an empty answer.
        const long status = response.response ? response.response->status : 0;
        if (!response.error && status >= 200 && status <= 300 && (!response.data || response.data->empty())) {
            return {};
        }
        auto classified = classify(response);
        if (!classified) {
            return std::unexpected(std::move(classified.error()));
        }
        return {};
    };
}

} // namespace parlomatic::identity
