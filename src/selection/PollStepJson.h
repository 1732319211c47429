#pragma once

#include "selection/PollStep.h"

#include <nlohmann/json.hpp>

#include <cstdint>

namespace parlomatic::selection {

// One inspector line: pid, app, role, secure, textLength, text (only when showText), rect, frame,
// actionType, decision, panel, tickMicros. Rectangles are [x, y, w, h] or null.
nlohmann::json pollStepToJson(const PollStep& step, bool showText, std::int64_t tickMicros);

} // namespace parlomatic::selection
