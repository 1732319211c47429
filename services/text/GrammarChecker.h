#pragma once

#include "ApertiumPipeline.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlomatic::textservice {

// What the grammar worker found in a text; offsets count code points of the whole text.
struct GrammarFindings {
    struct Edit {
        std::size_t begin;
        std::size_t end;
        std::u32string replacement;
    };
    struct Word {
        std::size_t begin;
        std::size_t end;
        std::vector<std::u32string> suggestions; // best first
    };
    std::vector<Edit> edits;  // fixes the worker is sure of
    std::vector<Word> words;  // words its dictionary lacks
    std::size_t checkedEnd{}; // the text after this was not checked in time
};

// English grammar by Harper in a resident Node worker (services/text/grammar/worker.mjs), kept
// running like an Apertium pipeline and under the same rules: one started worker serves every
// request, texts go in pieces of at most 2 KiB in turn with other requests, a worker that dies is
// replaced and a request it held sent once more, and one that does not answer in time is ended and
// started anew. Each piece carries the request's deadline: past it the worker answers at once
// without checking, so a long text gets the findings of its beginning. Thread-safe.
class GrammarChecker {
public:
    // `worker` is the worker's script; `node` the program that runs it (found in PATH).
    explicit GrammarChecker(const std::filesystem::path& worker, std::string node = "node");

    // Starts the worker and waits until it has answered a first text. False when it does not run.
    bool start();

    // The findings, checking for `budget` at most; nothing when the worker neither runs nor can be
    // started, or did not answer. A change between the two is logged (without any text).
    std::optional<GrammarFindings> check(std::string_view text, std::chrono::milliseconds budget);

    // Whether the worker answered the last check and runs or can be started now.
    bool runs();

    std::vector<int> processIds() const { return m_pipeline.processIds(); }

private:
    void noteRunning(bool running);

    ApertiumPipeline m_pipeline;
    std::atomic<int> m_state{-1}; // -1 unknown, 0 not running, 1 running
};

} // namespace parlomatic::textservice
