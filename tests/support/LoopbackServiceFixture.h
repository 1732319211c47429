#pragma once

#include "common/CurlHttpClient.h"
#include "support/LogCapture.h"
#include "support/TlsTestServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace parlomatic::test {

struct RecordedRequest {
    std::string method;
    std::string target; // path and query
    httplib::Headers headers;
    std::string body;

    // The first value of a header (names compare without case), or "" when absent.
    std::string header(const std::string& name) const
    {
        const auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

// A loopback HTTPS service: records every GET, POST, PATCH, PUT and DELETE, runs `beforeAnswer` (when set) and
// answers through `setReply` (by default a one-item translation list).
class LoopbackServiceFixture : public ::testing::Test {
protected:
    using Reply = std::function<void(const httplib::Request&, httplib::Response&)>;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_received;
    std::vector<RecordedRequest> m_requests;
    Reply m_reply = [](const httplib::Request&, httplib::Response& response) {
        response.set_content(R"({"data":{"translations":[{"translatedText":"ok"}]}})", "application/json");
    };

protected:
    void SetUp() override
    {
        auto handler = [this](const httplib::Request& request, httplib::Response& response) {
            Reply current;
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back({request.method, request.target, request.headers, request.body});
                current = m_reply;
            }
            m_received.notify_all();
            if (beforeAnswer) {
                beforeAnswer();
            }
            current(request, response);
        };
        server.server().Get(".*", handler);
        server.server().Post(".*", handler);
        server.server().Patch(".*", handler);
        server.server().Put(".*", handler);
        server.server().Delete(".*", handler);
        ASSERT_TRUE(server.start());
    }

    void setReply(Reply reply)
    {
        std::lock_guard lock(m_mutex);
        m_reply = std::move(reply);
    }
    void setReply(int status, const std::string& body)
    {
        setReply([status, body](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            if (status != 204 && !body.empty()) {
                response.set_content(body, "application/json");
            }
        });
    }

    std::vector<RecordedRequest> requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    void clearRequests()
    {
        std::lock_guard lock(m_mutex);
        m_requests.clear();
    }

    // Waits (at most 10 s) until the server has received `count` requests.
    bool waitForRequests(std::size_t count)
    {
        std::unique_lock lock(m_mutex);
        return m_received.wait_for(lock, std::chrono::seconds(10), [&] { return m_requests.size() >= count; });
    }

    static nlohmann::json bodyOf(const RecordedRequest& request)
    {
        return nlohmann::json::parse(request.body, nullptr, false);
    }

    CurlHttpClient::Options trustingOptions() const { return {.extraCaFile = server.caFile()}; }

    // Set it only while no request is under way.
    std::function<void()> beforeAnswer;

    // The handlers use the recording state above, so the server is declared after it: its
    // destructor joins every handler (also those still blocked when a client timed out) before that
    // state goes. Clients live in derived fixtures and so are gone before the server stops.
    TlsTestServer server;
    LogCapture logs;
};

} // namespace parlomatic::test
