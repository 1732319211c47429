#include "platform/linux/wayland/sway/SwayWindows.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace parlomatic::platform {

namespace {

constexpr std::array<char, 6> magic{'i', '3', '-', 'i', 'p', 'c'};
constexpr std::uint32_t subscribeRequest = 2;
constexpr std::uint32_t getTreeRequest = 4;
constexpr std::size_t headerSize = magic.size() + 8;
// A tree of a few hundred windows is far below this; anything larger is not a tree we read.
constexpr std::uint32_t maxAnswer = 16U * 1024U * 1024U;
constexpr int maxDepth = 64;

using Deadline = std::chrono::steady_clock::time_point;

bool waitFor(int fd, short events, Deadline deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    pollfd entry{.fd = fd, .events = events, .revents = 0};
    return ::poll(&entry, 1, int(left.count())) == 1 && (entry.revents & events) != 0;
}

bool writeAll(int fd, const std::vector<char>& bytes, Deadline deadline)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (!waitFor(fd, POLLOUT, deadline)) {
            return false;
        }
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
        sent += n > 0 ? std::size_t(n) : 0;
    }
    return true;
}

bool readAll(int fd, char* into, std::size_t size, Deadline deadline)
{
    std::size_t got = 0;
    while (got < size) {
        if (!waitFor(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t n = ::recv(fd, into + got, size - got, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            return false;
        }
        got += n > 0 ? std::size_t(n) : 0;
    }
    return true;
}

bool sendMessage(int fd, std::uint32_t type, const std::string& payload, Deadline deadline)
{
    std::vector<char> bytes(magic.begin(), magic.end());
    const auto length = std::uint32_t(payload.size());
    bytes.resize(headerSize);
    std::memcpy(bytes.data() + magic.size(), &length, 4);
    std::memcpy(bytes.data() + magic.size() + 4, &type, 4);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return writeAll(fd, bytes, deadline);
}

// One message: its type and payload; nothing on a broken or oversized answer.
std::optional<std::pair<std::uint32_t, std::string>> receiveMessage(int fd, Deadline deadline)
{
    std::array<char, headerSize> header{};
    if (!readAll(fd, header.data(), header.size(), deadline) ||
        !std::equal(magic.begin(), magic.end(), header.begin())) {
        return std::nullopt;
    }
    std::uint32_t length = 0;
    std::uint32_t type = 0;
    std::memcpy(&length, header.data() + magic.size(), 4);
    std::memcpy(&type, header.data() + magic.size() + 4, 4);
    if (length > maxAnswer) {
        return std::nullopt;
    }
    std::string payload(length, '\0');
    if (!readAll(fd, payload.data(), length, deadline)) {
        return std::nullopt;
    }
    return std::pair(type, std::move(payload));
}

UniqueFd openSocket(const std::string& path)
{
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        return {};
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        return {};
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
        0) { // NOLINT: the socket API's cast
        return {};
    }
    return fd;
}

std::optional<selection::AxRect> rectOf(const nlohmann::json& node, const char* key)
{
    const auto it = node.find(key);
    if (it == node.end() || !it->is_object()) {
        return std::nullopt;
    }
    const auto number = [&](const char* name) -> std::optional<double> {
        const auto value = it->find(name);
        return value != it->end() && value->is_number() ? std::optional(value->get<double>()) : std::nullopt;
    };
    const auto x = number("x");
    const auto y = number("y");
    const auto width = number("width");
    const auto height = number("height");
    if (!x || !y || !width || !height) {
        return std::nullopt;
    }
    return sizedRect(*x, *y, *width, *height);
}

const nlohmann::json* focusedNode(const nlohmann::json& node, int depth)
{
    if (depth > maxDepth || !node.is_object()) {
        return nullptr;
    }
    if (const auto focused = node.find("focused");
        focused != node.end() && focused->is_boolean() && focused->get<bool>()) {
        return &node;
    }
    for (const char* children : {"nodes", "floating_nodes"}) {
        const auto list = node.find(children);
        if (list == node.end() || !list->is_array()) {
            continue;
        }
        for (const auto& child : *list) {
            if (const nlohmann::json* found = focusedNode(child, depth + 1)) {
                return found;
            }
        }
    }
    return nullptr;
}

} // namespace

std::unique_ptr<SwayWindows> SwayWindows::connect(const std::string& socketPath)
{
    UniqueFd requests = openSocket(socketPath);
    UniqueFd events = requests ? openSocket(socketPath) : UniqueFd();
    const Deadline deadline = std::chrono::steady_clock::now() + ipcTimeout;
    const auto subscribed = [&] {
        if (!events || !sendMessage(events.get(), subscribeRequest, R"(["window","workspace"])", deadline)) {
            return false;
        }
        const auto answer = receiveMessage(events.get(), deadline);
        if (!answer) {
            return false;
        }
        const auto parsed = nlohmann::json::parse(answer->second, nullptr, false);
        return !parsed.is_discarded() && parsed.is_object() && parsed.value("success", false);
    };
    if (!requests || !subscribed()) {
        return nullptr;
    }
    return std::unique_ptr<SwayWindows>(new SwayWindows(socketPath, std::move(requests), std::move(events)));
}

SwayWindows::SwayWindows(std::string path, UniqueFd requests, UniqueFd events)
    : m_path(std::move(path)), m_requests(std::move(requests)), m_events(std::move(events))
{}

bool SwayWindows::changesAnnounced()
{
    bool any = false;
    std::array<char, 4096> buffer{};
    while (true) {
        const ssize_t n = ::recv(m_events.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            any = true;
            continue;
        }
        // A closed connection announces nothing more: every call reads the tree from then on.
        return any || n == 0;
    }
}

unsigned long SwayWindows::layoutChanges()
{
    if (changesAnnounced()) {
        ++m_changes;
    }
    return m_changes;
}

const std::optional<SwayWindows::Focused>& SwayWindows::focused()
{
    const unsigned long changes = layoutChanges();
    const auto now = std::chrono::steady_clock::now();
    if (changes == m_treeRead && now - m_treeReadAt < maxAge) {
        return m_focused;
    }
    m_treeReadAt = now;
    const Deadline deadline = std::chrono::steady_clock::now() + ipcTimeout;
    const auto answer = sendMessage(m_requests.get(), getTreeRequest, {}, deadline)
                            ? receiveMessage(m_requests.get(), deadline)
                            : std::nullopt;
    const auto tree = answer && answer->first == getTreeRequest ? nlohmann::json::parse(answer->second, nullptr, false)
                                                                : nlohmann::json(nlohmann::json::value_t::discarded);
    if (!answer || answer->first != getTreeRequest) {
        // What is left of an answer cut short would be taken for the next one: a new connection.
        if (UniqueFd fresh = openSocket(m_path)) {
            m_requests = std::move(fresh);
        }
    }
    if (tree.is_discarded()) {
        m_focused.reset();
        return m_focused;
    }
    m_focused = focusedIn(tree);
    // A window just mapped has no size yet, and sway announces none when it gets one: asked again.
    if (!m_focused || m_focused->window) {
        m_treeRead = changes;
    }
    return m_focused;
}

std::optional<WindowGeometry> SwayWindows::focusedWindow(selection::Pid pid)
{
    // sway tells the window's geometry only, without what the client draws around it.
    const std::optional<Focused>& now = focused();
    if (!now || now->pid != pid || !now->window) {
        return std::nullopt;
    }
    return WindowGeometry{.frame = *now->window, .surface = std::nullopt};
}

std::optional<selection::Pid> SwayWindows::focusedProcess()
{
    const std::optional<Focused>& now = focused();
    return now ? std::optional(now->pid) : std::nullopt;
}

std::optional<SwayWindows::Focused> SwayWindows::focusedIn(const nlohmann::json& tree)
{
    const nlohmann::json* node = focusedNode(tree, 0);
    if (node == nullptr) {
        return std::nullopt;
    }
    const auto owner = node->find("pid");
    if (owner == node->end() || !owner->is_number_integer() || owner->get<std::int64_t>() <= 0 ||
        owner->get<std::int64_t>() > 0x7fffffff) {
        return std::nullopt;
    }
    Focused focused{.pid = selection::Pid(owner->get<std::int64_t>()), .window = std::nullopt};
    const auto rect = rectOf(*node, "rect");
    const auto content = rectOf(*node, "window_rect");
    if (rect && content) {
        focused.window = selection::AxRect{
            .x = rect->x + content->x, .y = rect->y + content->y, .width = content->width, .height = content->height};
    }
    return focused;
}

std::optional<selection::AxRect> SwayWindows::focusedWindowIn(const nlohmann::json& tree, selection::Pid pid)
{
    const std::optional<Focused> found = focusedIn(tree);
    return found && found->pid == pid ? found->window : std::nullopt;
}

} // namespace parlomatic::platform
