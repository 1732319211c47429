// libFuzzer target: sway's window tree (its IPC's get_tree answer). Whatever the JSON, the focused
// window found is a real process's, and where it is, a rectangle of finite numbers with a size.
#include "FuzzTarget.h"
#include "platform/linux/wayland/sway/SwayWindows.h"

#include <nlohmann/json.hpp>

namespace {

using parlomatic::platform::SwayWindows;

void fuzzOne(std::string_view input)
{
    const auto tree = nlohmann::json::parse(input, nullptr, false);
    if (tree.is_discarded()) {
        return;
    }
    const auto focused = SwayWindows::focusedIn(tree);
    if (!focused) {
        return;
    }
    require(focused->pid > 0);
    if (const auto& window = focused->window) {
        require(finite(window->x, window->y, window->width, window->height) && window->width > 0 && window->height > 0);
    }
    require(SwayWindows::focusedWindowIn(tree, focused->pid) == focused->window);
}

} // namespace
