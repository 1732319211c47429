#pragma once

#include <cstdint>
#include <string>

namespace parlomatic::service {

// Why a call to the text service gave nothing: the kind a caller acts on (the notice it shows) and
// the line that was logged for it. The message never holds the request's text or the answer's body.
struct TranslatorError {
    enum class Kind : std::uint8_t {
        unreachable, // no answer: the connection failed or timed out
        refused,     // an answer other than 200 (401, 413, 429, 5xx)
        unusable,    // a 200 whose body could not be read
    };
    Kind kind = Kind::unreachable;
    std::string message;

    bool operator==(const TranslatorError&) const = default;
};

} // namespace parlomatic::service
