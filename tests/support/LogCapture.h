#pragma once

#include "common/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace parlomatic::test {

// Captures every logError line while it exists (one at a time per process).
class LogCapture {
public:
    LogCapture()
    {
        setLogSink([this](const std::string& line) {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(line);
        });
    }
    ~LogCapture() { setLogSink({}); }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }

    // True when some captured line contains `text`.
    bool contains(std::string_view text) const
    {
        std::lock_guard lock(m_mutex);
        return std::ranges::any_of(m_lines,
                                   [text](const std::string& line) { return line.find(text) != std::string::npos; });
    }

    // Fails the running test for each captured line that contains one of `secrets` (empty ones are skipped).
    void expectNoLineContains(std::initializer_list<std::string_view> secrets) const
    {
        for (const std::string& line : lines()) {
            for (const std::string_view secret : secrets) {
                EXPECT_FALSE(!secret.empty() && line.find(secret) != std::string::npos) << line;
            }
        }
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

} // namespace parlomatic::test
