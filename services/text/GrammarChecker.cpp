#include "GrammarChecker.h"

#include "Utf8.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace parlomatic::textservice {
namespace {

using nlohmann::json;

// The pieces are whole requests already; the answers are JSON.
StreamFormat workerFormat()
{
    return {.encode = [](std::string_view message) { return std::string(message); },
            .decode = [](std::string_view answer) { return std::string(answer); },
            .warmUp = R"({"text":"Hello."})"};
}

// A piece may start the worker's checking just before the deadline; it is given this long to end.
constexpr std::chrono::seconds pieceGrace{1};
constexpr std::size_t maxPieceBytes = 2048;

std::size_t codePoints(std::string_view text)
{
    return static_cast<std::size_t>(
        std::ranges::count_if(text, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

} // namespace

GrammarChecker::GrammarChecker(const std::filesystem::path& worker, std::string node)
    : m_pipeline({{std::move(node), worker.string()}}, workerFormat())
{}

bool GrammarChecker::start()
{
    return check("Hello.", startupLimit).has_value();
}

bool GrammarChecker::runs()
{
    return m_state.load() == 1 && m_pipeline.runs();
}

void GrammarChecker::noteRunning(bool running)
{
    if (m_state.exchange(running ? 1 : 0) != (running ? 1 : 0)) {
        // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
        std::fprintf(stderr, "parlomatic-text-service: %s\n",
                     running ? "the grammar worker (Harper) runs: Improve corrects English grammar"
                             : "the grammar worker (Harper) does not run or did not answer: Improve corrects "
                               "English by its own rules until it runs again");
    }
}

std::optional<GrammarFindings> GrammarChecker::check(std::string_view text, std::chrono::milliseconds budget)
{
    const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(
                           (std::chrono::system_clock::now() + budget).time_since_epoch())
                           .count();
    std::vector<std::string> messages;
    std::vector<std::size_t> offsets; // of each piece, in code points
    std::size_t offset = 0;
    for (const std::string_view piece : splitText(text, maxPieceBytes)) {
        messages.push_back(
            json{{"text", piece}, {"until", until}}.dump(-1, ' ', false, json::error_handler_t::replace));
        offsets.push_back(offset);
        offset += codePoints(piece);
    }
    const auto answers = m_pipeline.translate(messages, budget + pieceGrace);
    noteRunning(answers.has_value());
    if (!answers) {
        return std::nullopt;
    }
    GrammarFindings findings;
    for (std::size_t i = 0; i < answers->size(); ++i) {
        const auto answer = json::parse((*answers)[i], nullptr, false);
        if (!answer.is_object() || answer.contains("late")) {
            break;
        }
        const auto end = i + 1 < offsets.size() ? offsets[i + 1] : offset;
        const auto span = [&](const json& item, std::size_t& begin, std::size_t& stop) {
            begin = offsets[i] + item.at(0).get<std::size_t>();
            stop = offsets[i] + item.at(1).get<std::size_t>();
            return begin <= stop && stop <= end;
        };
        try {
            for (const auto& item : answer.value("edits", json::array())) {
                GrammarFindings::Edit edit{
                    .begin = 0, .end = 0, .replacement = fromUtf8(item.at(2).get<std::string>())};
                if (span(item, edit.begin, edit.end)) {
                    findings.edits.push_back(std::move(edit));
                }
            }
            for (const auto& item : answer.value("words", json::array())) {
                GrammarFindings::Word word{.begin = 0, .end = 0, .suggestions = {}};
                for (const auto& suggestion : item.at(2)) {
                    word.suggestions.push_back(fromUtf8(suggestion.get<std::string>()));
                }
                if (span(item, word.begin, word.end)) {
                    findings.words.push_back(std::move(word));
                }
            }
        } catch (const json::exception&) {
            break; // an answer of another shape: what came before it stands
        }
        findings.checkedEnd = end;
    }
    return findings;
}

} // namespace parlomatic::textservice
