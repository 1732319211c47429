#include "common/Log.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace parlomatic {
namespace {

TEST(Log, SinkCapturesWholeLinesFromManyThreads)
{
    std::vector<std::string> lines;
    std::mutex mutex;
    setLogSink([&](const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([i] {
            for (int j = 0; j < 100; ++j) {
                logError("line %s " + std::to_string(i)); // printf directives are text, never formats
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    setLogSink({});
    ASSERT_EQ(lines.size(), 400U);
    EXPECT_EQ(lines.front().rfind("line %s ", 0), 0U);
}

} // namespace
} // namespace parlomatic
