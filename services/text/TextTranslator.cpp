#include "TextTranslator.h"

#include <algorithm>
#include <future>

namespace parlomatic::textservice {
namespace {

std::chrono::milliseconds timeLimitFor(std::string_view text, std::chrono::milliseconds base)
{
    // Apertium does a few thousand words a second on a loaded machine; the longest text then still
    // fits, while a hung program is noticed within seconds for an ordinary selection.
    return base + std::chrono::milliseconds(text.size() / 2);
}

} // namespace

TextTranslator::TextTranslator(const std::filesystem::path& modesDirectory, std::chrono::milliseconds baseTimeLimit)
    : m_baseTimeLimit(baseTimeLimit)
{
    struct Choice {
        Lang from;
        Lang to;
        std::vector<std::string> modes; // the first that exists
    };
    const Choice choices[] = {
        {Lang::en, Lang::es, {"eng-spa"}},
        {Lang::es, Lang::en, {"spa-eng_US", "spa-eng"}},
        {Lang::es, Lang::pt, {"es-pt_BR", "es-pt"}},
        {Lang::pt, Lang::es, {"pt-es"}},
    };
    for (const auto& choice : choices) {
        std::string used = choice.modes.front();
        PipelineStages stages;
        for (const auto& mode : choice.modes) {
            if (auto read = readModeFile(modesDirectory / (mode + ".mode"))) {
                used = mode;
                stages = std::move(*read);
                break;
            }
        }
        m_directions.push_back({choice.from, choice.to, used, std::make_unique<ApertiumPipeline>(std::move(stages))});
    }
}

bool TextTranslator::start(std::string* failed)
{
    std::vector<std::future<bool>> warming;
    for (auto& direction : m_directions) {
        warming.push_back(std::async(std::launch::async, [&direction] {
            return direction.pipeline->translate({"Hello."}, startupLimit).has_value();
        }));
    }
    bool all = true;
    for (std::size_t i = 0; i < warming.size(); ++i) {
        if (!warming[i].get() && all) {
            all = false;
            if (failed != nullptr) {
                *failed = m_directions[i].mode;
            }
        }
    }
    return all;
}

ApertiumPipeline* TextTranslator::find(Lang from, Lang to) const
{
    for (const auto& direction : m_directions) {
        if (direction.from == from && direction.to == to) {
            return direction.pipeline.get();
        }
    }
    return nullptr;
}

std::expected<std::string, PipelineError> TextTranslator::translate(std::string_view text, Lang source, Lang target)
{
    if (source == target) {
        return std::string(text);
    }
    std::vector<ApertiumPipeline*> route;
    if (auto* direct = find(source, target)) {
        route.push_back(direct);
    } else {
        route.push_back(find(source, Lang::es));
        route.push_back(find(Lang::es, target));
    }
    // Each line goes through on its own, without its surrounding white space: Apertium would
    // otherwise add a space after a paragraph break and move indentation.
    struct Line {
        std::string_view lead;
        std::string_view trail;
        std::size_t piece; // index into `pieces`, or npos for a blank line
    };
    std::vector<Line> lines;
    std::vector<std::string> pieces;
    constexpr std::string_view blank = " \t\r";
    for (std::size_t begin = 0; begin <= text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        const std::string_view line = text.substr(begin, end - begin);
        const std::size_t first = line.find_first_not_of(blank);
        if (first == std::string_view::npos) {
            lines.push_back({line, {}, std::string_view::npos});
        } else {
            const std::size_t last = line.find_last_not_of(blank);
            lines.push_back({line.substr(0, first), line.substr(last + 1), pieces.size()});
            pieces.emplace_back(line.substr(first, last + 1 - first));
        }
        begin = end + 1;
    }
    for (auto* pipeline : route) {
        auto next = pipeline->translate(pieces, timeLimitFor(text, m_baseTimeLimit));
        if (!next) {
            return std::unexpected(next.error());
        }
        pieces = std::move(*next);
    }
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            out += '\n';
        }
        out += lines[i].lead;
        if (lines[i].piece != std::string_view::npos) {
            // A dropped subject pronoun ("We live" -> "Vivimos") leaves its space behind.
            const std::string_view piece = pieces[lines[i].piece];
            const std::size_t first = piece.find_first_not_of(blank);
            out += first == std::string_view::npos ? std::string_view()
                                                   : piece.substr(first, piece.find_last_not_of(blank) + 1 - first);
            out += lines[i].trail;
        }
    }
    return out;
}

std::vector<std::string> TextTranslator::unavailable() const
{
    std::vector<std::string> failing;
    for (const auto& direction : m_directions) {
        if (!direction.pipeline->runs()) {
            failing.push_back(direction.mode);
        }
    }
    return failing;
}

std::vector<int> TextTranslator::processIds() const
{
    std::vector<int> pids;
    for (const auto& direction : m_directions) {
        const auto some = direction.pipeline->processIds();
        pids.insert(pids.end(), some.begin(), some.end());
    }
    return pids;
}

} // namespace parlomatic::textservice
