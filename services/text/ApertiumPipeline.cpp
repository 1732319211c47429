#include "ApertiumPipeline.h"

#include "common/UniqueResource.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace parlomatic::textservice {
namespace {

constexpr std::string_view reserved = "\\[]^$/@<>{}";

std::vector<std::string> splitWords(std::string_view command)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (const char c : command) {
        if (c == '\'') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n')) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
            }
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

std::optional<std::string> findProgram(const std::string& name)
{
    if (name.find('/') != std::string::npos) {
        return access(name.c_str(), X_OK) == 0 ? std::optional(name) : std::nullopt;
    }
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Longer texts go through the programs in pieces, in turn with other requests.
constexpr std::size_t maxPieceBytes = 2048;

} // namespace

StreamFormat apertiumFormat()
{
    return {.encode =
                [](std::string_view piece) {
                    // The closing line break keeps the last word's punctuation, which the analyser holds
                    // back until it sees what follows; it is taken off the answer again.
                    return escapeForApertium(piece) + "\n";
                },
            .decode =
                [](std::string_view answer) {
                    return unescapeFromApertium(answer.ends_with('\n') ? answer.substr(0, answer.size() - 1) : answer);
                },
            .warmUp = "Hello."};
}

std::vector<std::string_view> splitText(std::string_view text, std::size_t most)
{
    std::vector<std::string_view> pieces;
    while (text.size() > most) {
        // After a sentence's end and its space, else after a space, else between two characters.
        std::size_t cut = std::string_view::npos;
        for (std::size_t i = most - 1; i > most / 2 && cut == std::string_view::npos; --i) {
            if (text[i] == ' ' && std::string_view(".!?").find(text[i - 1]) != std::string_view::npos) {
                cut = i + 1;
            }
        }
        if (cut == std::string_view::npos) {
            const std::size_t space = text.rfind(' ', most - 1);
            cut = space != std::string_view::npos && space > 0 ? space + 1 : most;
            while (cut == most && cut > 1 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
                --cut;
            }
        }
        pieces.push_back(text.substr(0, cut));
        text.remove_prefix(cut);
    }
    pieces.push_back(text);
    return pieces;
}

std::optional<PipelineStages> readModeFile(const std::filesystem::path& modeFile)
{
    std::ifstream in(modeFile);
    if (!in) {
        return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    PipelineStages stages;
    std::istringstream commands(text.str());
    for (std::string command; std::getline(commands, command, '|');) {
        std::vector<std::string> words = splitWords(command);
        if (words.empty()) {
            continue;
        }
        std::vector<std::string> stage{words.front(), "-z"};
        for (std::size_t i = 1; i < words.size(); ++i) {
            if (words[i] == "$1") {
                stage.emplace_back("-n");
            } else if (words[i] != "$2") {
                stage.push_back(words[i]);
            }
        }
        stages.push_back(std::move(stage));
    }
    if (stages.empty()) {
        return std::nullopt;
    }
    return stages;
}

std::string escapeForApertium(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (const char c : text) {
        if (c == '\0') {
            continue;
        }
        if (reserved.find(c) != std::string_view::npos) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string unescapeFromApertium(std::string_view stream)
{
    std::string out;
    out.reserve(stream.size());
    for (std::size_t i = 0; i < stream.size(); ++i) {
        if (stream[i] == '\\' && i + 1 < stream.size()) {
            ++i;
        }
        out += stream[i];
    }
    return out;
}

// One started set of programs with its writer and reader threads.
class ApertiumPipeline::Running {
public:
    using Answer = std::promise<std::optional<std::string>>;

    Running(const PipelineStages& stages, const StreamFormat& format)
    {
        if (spawn(stages)) {
            m_writer = std::thread([this] { writeRequests(); });
            m_reader = std::thread([this] { readAnswers(); });
            m_started = true;
            // Answered once every program has loaded its data; requests queue behind it.
            if (auto warm = submit({format.encode(format.warmUp) + '\0'}); !warm.empty()) {
                m_warm = std::move(warm.front()).share();
            }
        } else {
            m_readerDone = true;
        }
    }

    ~Running()
    {
        end();
        signalGroup(SIGKILL); // whatever was slow to end: it is reaped below
        if (m_writer.joinable()) {
            m_writer.join();
        }
        m_in.reset();
        if (m_reader.joinable()) {
            m_reader.join();
        }
        for (const int pid : m_pids) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }

    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    bool started() const { return m_started; }

    // Whether the programs have loaded their data and answered, waiting until `deadline` at most.
    bool warm(std::chrono::steady_clock::time_point deadline) const
    {
        return m_warm.valid() && m_warm.wait_until(deadline) == std::future_status::ready && m_warm.get().has_value();
    }

    // False once a program has exited or the pipeline broke. The exited programs are not reaped
    // here (WNOWAIT): their ids, and the group's, stay taken until the destructor.
    bool alive()
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_broken) {
                return false;
            }
        }
        for (const int pid : m_pids) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0) {
                return false;
            }
        }
        return true;
    }
    const std::vector<int>& pids() const { return m_pids; }

    // The answers to `streams`, in order; empty when the pipeline is broken or there are no
    // streams. They are written in turn with those of other requests, one piece each, so a long
    // request shares the programs with short ones instead of holding them.
    std::vector<std::future<std::optional<std::string>>> submit(std::vector<std::string> streams)
    {
        if (streams.empty()) {
            return {};
        }
        auto job = std::make_shared<Job>();
        job->streams = std::move(streams);
        std::vector<std::future<std::optional<std::string>>> futures;
        futures.reserve(job->streams.size());
        for (std::size_t i = 0; i < job->streams.size(); ++i) {
            futures.push_back(job->answers.emplace_back().get_future());
        }
        {
            std::lock_guard lock(m_mutex);
            if (m_broken) {
                return {};
            }
            m_jobs.push_back(std::move(job));
        }
        m_changed.notify_all();
        return futures;
    }

    // Ends the programs: SIGTERM (with SIGCONT, so a stopped program gets it), and SIGKILL for
    // whatever has not ended after a short grace. Every request of the pipeline fails.
    void end()
    {
        std::unique_lock lock(m_mutex);
        if (!m_broken) {
            m_broken = true;
            signalGroup(SIGTERM);
            signalGroup(SIGCONT);
        }
        m_changed.notify_all();
        if (!m_changed.wait_for(lock, killGrace, [this] { return m_readerDone; })) {
            signalGroup(SIGKILL);
        }
    }

private:
    static constexpr std::chrono::milliseconds killGrace{500};
    // Written but unanswered bytes at most (one piece may go past), so a request that comes in
    // waits for little more than that and one piece of each request ahead of it.
    static constexpr std::size_t maxInFlight = 4096;

    struct Job {
        std::vector<std::string> streams;
        std::vector<Answer> answers;
        std::size_t next = 0; // the first piece not yet written
    };
    struct Pending {
        std::shared_ptr<Job> job;
        std::size_t index;
        std::size_t bytes;
    };

    // The group exists until its programs are reaped, which only the destructor does.
    void signalGroup(int signal)
    {
        if (m_group > 0) {
            kill(-m_group, signal);
        }
    }

    void failEverything()
    {
        for (auto& pending : m_pending) {
            pending.job->answers[pending.index].set_value(std::nullopt);
        }
        m_pending.clear();
        for (auto& job : m_jobs) {
            for (std::size_t i = job->next; i < job->answers.size(); ++i) {
                job->answers[i].set_value(std::nullopt);
            }
        }
        m_jobs.clear();
    }

    void writeRequests()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_broken || (!m_jobs.empty() && m_inFlight < maxInFlight); });
            if (m_broken) {
                break;
            }
            auto job = std::move(m_jobs.front());
            m_jobs.pop_front();
            const std::size_t index = job->next++;
            if (job->next < job->streams.size()) {
                m_jobs.push_back(job);
            }
            const std::string stream = std::move(job->streams[index]);
            m_inFlight += stream.size();
            m_pending.push_back({std::move(job), index, stream.size()});
            lock.unlock();
            const bool written = writeAll(m_in.get(), stream);
            lock.lock();
            if (!written && !m_broken) {
                m_broken = true;
                signalGroup(SIGTERM);
                signalGroup(SIGCONT);
            }
        }
        // The programs see their input end, and so does a program started later that inherited it.
        m_in.reset();
    }

    void readAnswers()
    {
        std::string answer;
        char buffer[65536];
        for (;;) {
            const ssize_t count = ::read(m_out.get(), buffer, sizeof buffer);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                break;
            }
            for (ssize_t i = 0; i < count; ++i) {
                if (buffer[i] != '\0') {
                    answer += buffer[i];
                    continue;
                }
                {
                    std::lock_guard lock(m_mutex);
                    if (!m_pending.empty()) {
                        auto& [job, index, bytes] = m_pending.front();
                        m_inFlight -= bytes;
                        job->answers[index].set_value(std::move(answer));
                        m_pending.pop_front();
                    }
                }
                m_changed.notify_all();
                answer.clear();
            }
        }
        {
            std::lock_guard lock(m_mutex);
            m_broken = true;
            m_readerDone = true;
            failEverything();
        }
        m_changed.notify_all();
    }

    bool spawn(const PipelineStages& stages)
    {
        if (stages.empty()) {
            return false;
        }
        std::vector<std::vector<std::string>> resolved = stages;
        for (auto& stage : resolved) {
            auto program = findProgram(stage.front());
            if (!program) {
                return false;
            }
            stage.front() = *program;
        }
        const UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        int input[2];
        if (!devNull || pipe2(input, O_CLOEXEC) != 0) {
            return false;
        }
        m_in.reset(input[1]);
        UniqueFd previous(input[0]);
        bool ok = true;
        for (const auto& stage : resolved) {
            int output[2];
            if (pipe2(output, O_CLOEXEC) != 0) {
                ok = false;
                break;
            }
            UniqueFd nextInput(output[0]);
            UniqueFd stageOutput(output[1]);
            std::vector<char*> argv;
            argv.reserve(stage.size() + 1);
            for (const auto& word : stage) {
                argv.push_back(const_cast<char*>(word.c_str())); // execv does not write through argv
            }
            argv.push_back(nullptr);
            const int group = m_group;
            const pid_t pid = fork();
            if (pid == 0) {
                // Only async-signal-safe calls between fork and exec.
                setpgid(0, group);
                dup2(previous.get(), STDIN_FILENO);
                dup2(stageOutput.get(), STDOUT_FILENO);
                dup2(devNull.get(), STDERR_FILENO);
                execv(argv[0], argv.data());
                _exit(127);
            }
            stageOutput.reset();
            previous = std::move(nextInput);
            if (pid < 0) {
                ok = false;
                break;
            }
            setpgid(pid, group); // also from here, so the group exists before the next fork
            if (m_group == 0) {
                m_group = pid;
            }
            m_pids.push_back(pid);
        }
        m_out = std::move(previous);
        if (!ok) {
            signalGroup(SIGKILL);
        }
        return ok;
    }

    bool m_started = false;
    std::shared_future<std::optional<std::string>> m_warm;
    std::vector<int> m_pids;
    int m_group = 0;
    UniqueFd m_in;
    UniqueFd m_out;
    std::thread m_writer;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_broken = false;
    bool m_readerDone = false;
    std::size_t m_inFlight = 0;
    std::deque<std::shared_ptr<Job>> m_jobs;
    std::deque<Pending> m_pending;
};

ApertiumPipeline::ApertiumPipeline(PipelineStages stages, StreamFormat format)
    : m_stages(std::move(stages)), m_format(format)
{
    // A program that dies leaves its pipe without a reader; the write must fail, not end the service.
    std::signal(SIGPIPE, SIG_IGN);
}

ApertiumPipeline::~ApertiumPipeline() = default;

std::shared_ptr<ApertiumPipeline::Running> ApertiumPipeline::running()
{
    std::shared_ptr<Running> dead;
    std::shared_ptr<Running> current;
    {
        std::lock_guard lock(m_mutex);
        // A program that died since the last request: no request is handed to the rest of its pipeline.
        if (m_running && !m_running->alive()) {
            dead = std::move(m_running);
        }
        if (!m_running) {
            auto fresh = std::make_shared<Running>(m_stages, m_format);
            if (fresh->started()) {
                m_running = std::move(fresh);
            }
        }
        current = m_running;
    }
    if (dead) {
        dead->end(); // the requests still on it fail, and are tried again on the fresh programs
    }
    return current;
}

bool ApertiumPipeline::runs()
{
    return running() != nullptr;
}

std::vector<int> ApertiumPipeline::processIds() const
{
    std::lock_guard lock(m_mutex);
    return m_running ? m_running->pids() : std::vector<int>{};
}

std::expected<std::vector<std::string>, PipelineError>
ApertiumPipeline::translate(const std::vector<std::string>& texts, std::chrono::milliseconds timeout)
{
    // A pipeline that died before the request came is replaced before it is used (running()); one
    // that dies while the request is on it is replaced, and the request sent once more.
    auto result = translateOnce(texts, timeout);
    if (!result && result.error() == PipelineError::broken) {
        result = translateOnce(texts, timeout);
    }
    return result;
}

std::expected<std::vector<std::string>, PipelineError>
ApertiumPipeline::translateOnce(const std::vector<std::string>& texts, std::chrono::milliseconds timeout)
{
    const auto current = running();
    if (!current) {
        return std::unexpected(PipelineError::notRunning);
    }
    const auto dropRunning = [&] {
        current->end();
        {
            std::lock_guard lock(m_mutex);
            if (m_running == current) {
                m_running.reset();
            }
        }
        running(); // the fresh programs load their data while the next request is on its way
    };
    // Fresh programs take a while to load their data; that time is not the request's.
    if (!current->warm(std::chrono::steady_clock::now() + std::max<std::chrono::milliseconds>(timeout, startupLimit))) {
        dropRunning();
        return std::unexpected(PipelineError::broken);
    }
    std::vector<std::string> streams;
    std::vector<std::size_t> firstPiece; // of each text, and one past the last
    for (const auto& text : texts) {
        firstPiece.push_back(streams.size());
        for (const std::string_view piece : splitText(text, maxPieceBytes)) {
            streams.push_back(m_format.encode(piece) + '\0');
        }
    }
    firstPiece.push_back(streams.size());
    auto futures = current->submit(std::move(streams));
    if (futures.empty() && !texts.empty()) {
        dropRunning();
        return std::unexpected(PipelineError::broken);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> answers(texts.size());
    for (std::size_t text = 0; text < texts.size(); ++text) {
        const std::size_t pieces = firstPiece[text + 1] - firstPiece[text];
        for (std::size_t i = firstPiece[text]; i < firstPiece[text + 1]; ++i) {
            if (futures[i].wait_until(deadline) != std::future_status::ready) {
                dropRunning();
                return std::unexpected(PipelineError::timedOut);
            }
            auto answer = futures[i].get();
            if (!answer) {
                dropRunning();
                return std::unexpected(PipelineError::broken);
            }
            std::string piece = m_format.decode(*answer);
            if (pieces > 1) {
                // Pieces were cut after a space, which goes back between their translations.
                const auto last = piece.find_last_not_of(" \n");
                piece.erase(last == std::string::npos ? 0 : last + 1);
                if (i + 1 < firstPiece[text + 1]) {
                    piece += ' ';
                }
            }
            answers[text] += piece;
        }
    }
    return answers;
}

} // namespace parlomatic::textservice
