#include "platform/linux/wayland/WindowGeometry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace parlomatic::platform {

namespace {

// Toolkits and compositors round differently.
constexpr double slack = 2.0;

bool sameSize(const selection::AxRect& one, const selection::AxRect& other)
{
    return std::abs(one.width - other.width) <= slack && std::abs(one.height - other.height) <= slack;
}

} // namespace

std::optional<selection::AxRect> sizedRect(double x, double y, double width, double height)
{
    // False for NaN and the infinities too.
    const auto onScreen = [](double value) {
        return std::abs(value) <= double(std::numeric_limits<std::int32_t>::max());
    };
    if (!(width > 0 && height > 0 && onScreen(x) && onScreen(y) && onScreen(width) && onScreen(height))) {
        return std::nullopt;
    }
    return selection::AxRect{.x = x, .y = y, .width = width, .height = height};
}

std::pair<double, double> contentOrigin(const WindowGeometry& window, const selection::AxRect& toolkitSize)
{
    const selection::AxRect toolkitWindow{.x = 0,
                                          .y = 0,
                                          .width = toolkitSize.width * window.contentScale,
                                          .height = toolkitSize.height * window.contentScale};
    if (window.surface && sameSize(*window.surface, toolkitWindow)) {
        return {window.surface->x, window.surface->y};
    }
    const selection::AxRect& frame = window.frame;
    if (sameSize(frame, toolkitWindow)) {
        return {frame.x, frame.y};
    }
    const double border = (frame.width - toolkitWindow.width) / 2;
    if (toolkitWindow.width <= frame.width + slack && toolkitWindow.height < frame.height) {
        return {frame.x + border, frame.y + frame.height - toolkitWindow.height - std::max(0.0, border)};
    }
    // Larger than the frame: a window that does not fit the tile it was given, which the
    // compositor shows from its corner.
    return {frame.x, frame.y};
}

} // namespace parlomatic::platform
