#include "platform/linux/wayland/sway/SwayWindows.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QTemporaryDir>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace parlomatic::platform {
namespace {

nlohmann::json window(int pid, bool focused, int x, int y)
{
    return {{"type", "con"},
            {"pid", pid},
            {"focused", focused},
            {"rect", {{"x", x}, {"y", y}, {"width", 800}, {"height", 600}}},
            {"window_rect", {{"x", 2}, {"y", 25}, {"width", 796}, {"height", 573}}}};
}

nlohmann::json tree(const nlohmann::json& tiled, const nlohmann::json& floating = nlohmann::json::array())
{
    const nlohmann::json workspace = {{"type", "workspace"}, {"nodes", tiled}, {"floating_nodes", floating}};
    const nlohmann::json output = {{"type", "output"}, {"nodes", nlohmann::json::array({workspace})}};
    return {{"type", "root"}, {"focused", false}, {"nodes", nlohmann::json::array({output})}};
}

TEST(SwayWindowsTest, TheFocusedWindowOfTheProcessIsItsContentInTheLayout)
{
    const auto tiled = tree(nlohmann::json::array({window(10, false, 0, 0), window(20, true, 1920, 40)}));
    EXPECT_EQ(SwayWindows::focusedWindowIn(tiled, 20), (selection::AxRect{1922, 65, 796, 573}));
    EXPECT_FALSE(SwayWindows::focusedWindowIn(tiled, 10)) << "not focused";
    const auto floating =
        tree(nlohmann::json::array({window(10, false, 0, 0)}), nlohmann::json::array({window(30, true, 100, 100)}));
    EXPECT_EQ(SwayWindows::focusedWindowIn(floating, 30), (selection::AxRect{102, 125, 796, 573}));

    // Hostile or broken trees give nothing, never a crash.
    nlohmann::json deep = window(40, true, 0, 0);
    for (int i = 0; i < 200; ++i) {
        deep = {{"nodes", nlohmann::json::array({deep})}};
    }
    auto noSize = window(50, true, 0, 0);
    noSize["window_rect"]["width"] = 0;
    auto textPid = window(60, true, 0, 0);
    textPid["pid"] = "60";
    for (const auto& [broken, pid] :
         std::initializer_list<std::pair<nlohmann::json, int>>{{deep, 40},
                                                               {tree(nlohmann::json::array({noSize})), 50},
                                                               {tree(nlohmann::json::array({textPid})), 60},
                                                               {nlohmann::json::array(), 1},
                                                               {"tree", 1}}) {
        EXPECT_FALSE(SwayWindows::focusedWindowIn(broken, pid)) << broken.dump().substr(0, 80);
    }
}

// A compositor of our own on a Unix socket: answers the subscription and counts the trees asked for.
class FakeSway {
public:
    FakeSway() : m_path(m_dir.filePath(QStringLiteral("ipc.sock")).toStdString())
    {
        m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, m_path.c_str(), m_path.size());
        const bool listening =
            m_listener >= 0 &&
            ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), // NOLINT: the socket API's cast
                   sizeof(address)) == 0 &&
            ::listen(m_listener, 2) == 0;
        EXPECT_TRUE(listening) << "no socket for the compositor";
        m_thread = std::thread([this] { serve(); });
    }
    ~FakeSway()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        ::close(m_listener);
        for (const int fd : {m_events.load(), m_requests.load()}) {
            if (fd >= 0) {
                ::shutdown(fd, SHUT_RDWR);
            }
        }
        m_thread.join();
    }
    const std::string& path() const { return m_path; }
    int treesAsked() const { return m_trees; }
    // Announces a window event on the subscribed connection.
    void announce() { send(m_events, 3U | 0x80000000U, R"({"change":"move"})"); }

private:
    static void send(int fd, std::uint32_t type, const std::string& payload)
    {
        std::string message = "i3-ipc";
        const auto length = std::uint32_t(payload.size());
        message.append(reinterpret_cast<const char*>(&length), 4); // NOLINT: the wire's byte layout
        message.append(reinterpret_cast<const char*>(&type), 4);   // NOLINT: the wire's byte layout
        message += payload;
        ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
    }
    static bool receive(int fd, std::uint32_t& type)
    {
        std::array<char, 14> header{};
        if (::recv(fd, header.data(), header.size(), MSG_WAITALL) != ssize_t(header.size())) {
            return false;
        }
        std::uint32_t length = 0;
        std::memcpy(&length, header.data() + 6, 4);
        std::memcpy(&type, header.data() + 10, 4);
        std::string payload(length, '\0');
        return length == 0 || ::recv(fd, payload.data(), length, MSG_WAITALL) == ssize_t(length);
    }
    void serve()
    {
        // The client opens the request connection first, then the subscribed one.
        m_requests = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        m_events = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        std::uint32_t type = 0;
        if (m_events < 0 || !receive(m_events, type)) {
            return;
        }
        send(m_events, type, R"({"success":true})");
        const std::string answer = tree(nlohmann::json::array({window(20, true, 100, 50)})).dump();
        while (receive(m_requests, type)) {
            ++m_trees;
            send(m_requests, type, answer);
        }
    }

    QTemporaryDir m_dir;
    std::string m_path;
    int m_listener = -1;
    std::atomic<int> m_requests = -1;
    std::atomic<int> m_events = -1;
    std::atomic<int> m_trees = 0;
    std::thread m_thread;
};

TEST(SwayWindowsTest, TheTreeIsAskedForAgainOnlyAfterTheCompositorAnnouncedAChange)
{
    FakeSway sway;
    const auto windows = SwayWindows::connect(sway.path());
    ASSERT_TRUE(windows);
    const selection::AxRect expected{.x = 102, .y = 75, .width = 796, .height = 573};
    EXPECT_EQ(windows->focusedWindow(20)->frame, expected);
    EXPECT_EQ(windows->focusedWindow(20)->frame, expected);
    EXPECT_EQ(sway.treesAsked(), 1) << "nothing changed: no second tree";
    const unsigned long before = windows->layoutChanges();
    sway.announce();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (windows->layoutChanges() == before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(windows->focusedWindow(20)->frame, expected);
    EXPECT_EQ(sway.treesAsked(), 2);
    EXPECT_FALSE(windows->focusedWindow(21)) << "another process";
    EXPECT_FALSE(SwayWindows::connect(sway.path() + ".missing"));
}

} // namespace
} // namespace parlomatic::platform
