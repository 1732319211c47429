#pragma once

#include "ApertiumPipeline.h"
#include "Languages.h"

#include <chrono>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace parlomatic::textservice {

// Translation between English, Spanish and Portuguese by Apertium's eng-spa and es-pt pairs, kept
// running: English and Portuguese meet through Spanish. Thread-safe.
class TextTranslator {
public:
    // The mode files of the four directions are read from `modesDirectory`
    // (Debian: /usr/share/apertium/modes). A request's time limit in each direction is
    // `baseTimeLimit` plus a little for each byte of its text.
    explicit TextTranslator(const std::filesystem::path& modesDirectory,
                            std::chrono::milliseconds baseTimeLimit = std::chrono::seconds(10));

    // Starts every direction and translates a word through each, so the first request finds its
    // programs loaded. False (with the direction's mode name in `failed`) when one does not answer.
    bool start(std::string* failed = nullptr);

    // The same language gives the text back unchanged. The time limit holds for each direction of
    // the route, and grows with the length of the text.
    std::expected<std::string, PipelineError> translate(std::string_view text, Lang source, Lang target);

    // The mode names of the directions whose programs neither run nor can be started now.
    std::vector<std::string> unavailable() const;

    // Process ids of every running program.
    std::vector<int> processIds() const;

private:
    struct Direction {
        Lang from;
        Lang to;
        std::string mode;
        std::unique_ptr<ApertiumPipeline> pipeline;
    };
    ApertiumPipeline* find(Lang from, Lang to) const;

    std::vector<Direction> m_directions;
    std::chrono::milliseconds m_baseTimeLimit;
};

} // namespace parlomatic::textservice
