#include "service/UserMetadata.h"

#include "common/Log.h"
#include "service/TranslatorRequest.h"
#include "wire/TextServiceRequests.h"

#include <nlohmann/json.hpp>

namespace parlomatic::service {

UserMetadata::UserMetadata(HttpClient& http, std::string apiDomain)
    : UserMetadata(http, ApiDomain([domain = std::move(apiDomain)] { return domain; }))
{}

UserMetadata::UserMetadata(HttpClient& http, ApiDomain apiDomain) : m_http(http), m_apiDomain(std::move(apiDomain)) {}

bool UserMetadata::updateUserMetadata(Gender gender, const std::string& accessToken) const
{
    const wire::UserMetadataRequest body{std::string(rawValue(gender))};
    const HttpResult result = m_http.send(
        makeServiceRequest("PATCH", m_apiDomain(), wire::userMetadataPath, wire::encode(body), accessToken));
    if (!result) {
        logError(std::string(userMetadataFailurePrefix) + describe(result.error()));
        return false;
    }
    return result->status == 200;
}

bool changePreferredGender(std::optional<User>& user, const std::optional<std::string>& accessToken,
                           std::optional<Gender> chosen, const UserMetadata& metadata,
                           const RunInBackground& runInBackground)
{
    if (!user || !chosen || !accessToken) {
        return false;
    }
    user->gender = chosen;
    runInBackground([&metadata, gender = *chosen, token = *accessToken] {
        if (!metadata.updateUserMetadata(gender, token)) {
            logError("Failed to update gender!");
        }
    });
    return true;
}

} // namespace parlomatic::service
