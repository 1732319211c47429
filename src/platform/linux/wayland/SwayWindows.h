#pragma once

#include "platform/linux/wayland/WaylandWindows.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <string>

namespace parlomatic::platform {

// sway's (and i3's) IPC over the Unix socket named by SWAYSOCK: the tree of windows (`get_tree`),
// read again only after the compositor announced a change of a window or a workspace on a second,
// subscribed connection (sway 1.7 announces no output changes). Every exchange is bounded by ipcTimeout.
class SwayWindows final : public WaylandWindows {
public:
    static constexpr std::chrono::milliseconds ipcTimeout{250};

    // Nothing when the socket does not answer.
    static std::unique_ptr<SwayWindows> connect(const std::string& socketPath);
    ~SwayWindows() override;
    SwayWindows(const SwayWindows&) = delete;
    SwayWindows& operator=(const SwayWindows&) = delete;

    std::optional<AxRect> focusedWindow(Pid pid) override;
    unsigned long layoutChanges() override;

    // The focused window of `pid` in a `get_tree` answer: its `rect` moved by its `window_rect`
    // (the part the client draws). Nothing for another process or an unfocused window.
    static std::optional<AxRect> focusedWindowIn(const nlohmann::json& tree, Pid pid);

private:
    SwayWindows(std::string path, int requests, int events);
    // Drains what the subscribed connection announced; true when anything came.
    bool changesAnnounced();

    std::string m_path;
    int m_requests;
    int m_events;
    unsigned long m_changes = 1;
    unsigned long m_treeRead = 0;
    std::optional<AxRect> m_window;
    Pid m_windowPid = 0;
};

} // namespace parlomatic::platform
