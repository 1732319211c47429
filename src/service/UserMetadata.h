#pragma once

#include "common/HttpClient.h"
#include "service/Gender.h"
#include "service/TranslatorRequest.h"
#include "service/User.h"

#include <functional>
#include <optional>
#include <string>

namespace parlomatic::service {

// Prefix of the line logged when the metadata update gets no HTTP answer; the error follows it.
inline constexpr std::string_view userMetadataFailurePrefix = "Failed to send the user metadata update: ";

// The user-metadata call of the text service (PATCH "/v1/user/metadata"). Holds no mutable state.
class UserMetadata {
public:
    // `apiDomain` is inserted verbatim after "https://". `http` must outlive this object.
    UserMetadata(HttpClient& http, std::string apiDomain);
    UserMetadata(HttpClient& http, ApiDomain apiDomain);

    // Sends {"gender": <raw value>}. True exactly when the service answered 200. A transfer that
    // fails is logged (userMetadataFailurePrefix); any other status gives false silently. Blocks.
    bool updateUserMetadata(Gender gender, const std::string& accessToken) const;

private:
    HttpClient& m_http;
    ApiDomain m_apiDomain;
};

// Runs a job off the calling thread (the app hands it to the thread pool).
using RunInBackground = std::function<void(std::function<void()>)>;

// The user picked `chosen` in the preferred-gender menu. With a user, a choice and an access token,
// sets the user's gender at once (never rolled back) and hands the update to `runInBackground`,
// which logs "Failed to update gender!" when the update returns false. Returns whether it did so;
// without a user, a choice or a token nothing changes and nothing is sent. `metadata` must outlive
// the background job.
bool changePreferredGender(std::optional<User>& user, const std::optional<std::string>& accessToken,
                           std::optional<Gender> chosen, const UserMetadata& metadata,
                           const RunInBackground& runInBackground);

} // namespace parlomatic::service
