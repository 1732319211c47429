#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace parlomatic {

// Writes one line to the system log at error level (ident "parlomatic"), the whole message as one
// argument, and a copy to stderr. Never pass a token, a code, a verifier, a password or the user's selected text.
void logError(std::string_view message);

// Tests capture log lines through a sink; while one is installed, lines go to it instead of the
// system log. Passing an empty function restores the system log. Thread-safe.
using LogSink = std::function<void(const std::string&)>;
void setLogSink(LogSink sink);

} // namespace parlomatic
