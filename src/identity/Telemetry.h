#pragma once

#include <optional>
#include <string>

namespace parlomatic::identity {

// The client identification sent in the "Identity-Client" header.
struct Telemetry {
    bool enabled = true;
    // The encoded client description; see standard().
    std::optional<std::string> info;

    // Enabled, with info = unpadded base64url of
    // {"name":"parlomatic-identity","version":<program version>,"env":{"os":"linux","osVersion":"<major>.<minor>"}}.
    static Telemetry standard();
    // The encoding of standard() for the given version texts.
    static std::string encodeInfo(const std::string& version, const std::string& os, const std::string& osVersion);
};

} // namespace parlomatic::identity
