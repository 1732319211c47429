#pragma once

#include "common/UniqueResource.h"
#include "platform/linux/wayland/WaylandWindows.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <string>

namespace parlomatic::platform {

// sway's (and i3's) IPC over the Unix socket named by SWAYSOCK: the tree of windows (`get_tree`),
// read again after the compositor announced a change of a window or a workspace on a second,
// subscribed connection, and at most maxAge after the last read (sway 1.7 announces no output
// changes, nor every retiling). Every exchange is bounded by ipcTimeout.
class SwayWindows final : public WaylandWindows {
public:
    static constexpr std::chrono::milliseconds ipcTimeout{250};
    static constexpr std::chrono::milliseconds maxAge{1000};

    // Nothing when the socket does not answer.
    static std::unique_ptr<SwayWindows> connect(const std::string& socketPath);
    ~SwayWindows() override = default;
    SwayWindows(const SwayWindows&) = delete;
    SwayWindows& operator=(const SwayWindows&) = delete;

    std::optional<WindowGeometry> focusedWindow(selection::Pid pid) override;
    std::optional<selection::Pid> focusedProcess() override;
    unsigned long layoutChanges() override;

    struct Focused {
        selection::Pid pid = 0;
        // Its `rect` moved by its `window_rect` (the part the client draws); nothing before the
        // window has a size.
        std::optional<selection::AxRect> window;
    };
    // The focused window in a `get_tree` answer, or nothing.
    static std::optional<Focused> focusedIn(const nlohmann::json& tree);
    // The same, when it belongs to `pid`.
    static std::optional<selection::AxRect> focusedWindowIn(const nlohmann::json& tree, selection::Pid pid);

private:
    SwayWindows(std::string path, UniqueFd requests, UniqueFd events);
    // Drains what the subscribed connection announced; true when anything came.
    bool changesAnnounced();
    // The focused window, from the tree read again when something changed since.
    const std::optional<Focused>& focused();

    std::string m_path;
    UniqueFd m_requests;
    UniqueFd m_events;
    unsigned long m_changes = 1;
    unsigned long m_treeRead = 0;
    std::chrono::steady_clock::time_point m_treeReadAt;
    std::optional<Focused> m_focused;
};

} // namespace parlomatic::platform
