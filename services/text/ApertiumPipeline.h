#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlomatic::textservice {

// The programs of one Apertium translation direction, each with its arguments, in pipe order.
using PipelineStages = std::vector<std::vector<std::string>>;

// Reads an Apertium mode file ("prog args | prog args | ..." with single-quoted paths) and returns
// its stages in null-flush mode: every program gets "-z", the generator flag ($1) becomes "-n" (no
// marks on unknown words) and the tagger option ($2) is dropped. Nothing when the file cannot be
// read or names no program.
std::optional<PipelineStages> readModeFile(const std::filesystem::path& modeFile);

// Text to Apertium's stream format and back: the stream's reserved characters are escaped with a
// backslash, and every backslash escape of the output is undone.
std::string escapeForApertium(std::string_view text);
std::string unescapeFromApertium(std::string_view stream);

// Cuts a text into pieces of at most `most` bytes (after a sentence's end and its space where one
// is near the limit, else after a space, else between two UTF-8 characters); joined they give the
// text again.
std::vector<std::string_view> splitText(std::string_view text, std::size_t most);

enum class PipelineError : std::uint8_t { notRunning, timedOut, broken };

// How pieces of text travel through the programs: `encode` gives the bytes written before a piece's
// NUL, `decode` the piece's answer from the bytes read before the next NUL; `warmUp` is the piece
// fresh programs get first. Apertium's (the default) escapes the stream's reserved characters and
// ends each piece with a line break.
struct StreamFormat {
    std::string (*encode)(std::string_view piece);
    std::string (*decode)(std::string_view answer);
    std::string_view warmUp;
};
StreamFormat apertiumFormat();

// How long fresh programs may take to load their data and answer a first word.
inline constexpr std::chrono::seconds startupLimit{30};

// One translation direction kept running between requests: its programs are started once, joined
// by pipes, and every piece of text is written to the first program followed by a NUL, on which
// each program flushes; the answer is the output up to the next NUL. Requests may come from many
// threads. A writer thread takes one piece of each waiting request in turn (texts over 2 KiB are
// cut into pieces), and writes while little is unanswered, so a long request shares the programs
// with short ones and a new request never waits behind much; a reader thread matches answers to
// pieces in order.
//
// A program that dies, or an answer that does not come within the time limit, ends the whole
// running pipeline (SIGTERM, and SIGKILL after half a second for a program that did not end, a
// stopped one too) and a fresh one is started, so one bad request cannot desynchronise later
// answers. A request never goes to a pipeline whose program has exited, and one that meets a death
// in flight is sent once more to fresh programs; a request that timed out fails. Fresh programs
// first translate a word: until they have loaded their data (startupLimit at most) a request's
// time limit does not run. The programs end when their input closes, so also when the
// service dies. Their error output is discarded, since it can quote the text being translated.
class ApertiumPipeline {
public:
    explicit ApertiumPipeline(PipelineStages stages, StreamFormat format = apertiumFormat());
    ~ApertiumPipeline();
    ApertiumPipeline(const ApertiumPipeline&) = delete;
    ApertiumPipeline& operator=(const ApertiumPipeline&) = delete;

    // Translates texts, each on its own (NUL characters are dropped); starts the programs when they
    // do not run (notRunning: a program could not be started). The time limit holds for the whole
    // batch.
    std::expected<std::vector<std::string>, PipelineError> translate(const std::vector<std::string>& texts,
                                                                     std::chrono::milliseconds timeout);

    // Whether the programs run or can be started now (a program that died is replaced).
    bool runs();

    // Process ids of the running programs (for memory figures); empty when not running.
    std::vector<int> processIds() const;

private:
    class Running;
    // The running programs; ones of which a program has exited are ended and replaced first.
    std::shared_ptr<Running> running();
    std::expected<std::vector<std::string>, PipelineError> translateOnce(const std::vector<std::string>& texts,
                                                                         std::chrono::milliseconds timeout);

    PipelineStages m_stages;
    StreamFormat m_format;
    mutable std::mutex m_mutex;
    std::shared_ptr<Running> m_running;
};

} // namespace parlomatic::textservice
