#include "ApertiumPipeline.h"

#include <cerrno>
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
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
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

} // namespace

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

// One started set of programs with its reader thread.
class ApertiumPipeline::Running {
public:
    explicit Running(const PipelineStages& stages) { m_started = spawn(stages); }

    ~Running()
    {
        terminate();
        if (m_reader.joinable()) {
            m_reader.join();
        }
        for (const int pid : m_pids) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        if (m_out >= 0) {
            ::close(m_out);
        }
    }

    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    bool started() const { return m_started; }
    const std::vector<int>& pids() const { return m_pids; }

    // Nothing when the pipeline is broken.
    std::optional<std::future<std::optional<std::string>>> submit(std::string_view stream)
    {
        std::lock_guard writeLock(m_writeMutex);
        auto promise = std::make_shared<std::promise<std::optional<std::string>>>();
        auto future = promise->get_future();
        {
            std::lock_guard lock(m_mutex);
            if (m_broken || m_in < 0) {
                return std::nullopt;
            }
            m_pending.push_back(std::move(promise));
        }
        if (!writeAll(m_in, stream)) {
            terminate();
        }
        return future;
    }

    // Ends the programs; every pending request fails once the reader sees the end of the output.
    void terminate()
    {
        std::lock_guard lock(m_mutex);
        m_broken = true;
        if (m_in >= 0) {
            ::close(m_in);
            m_in = -1;
        }
        if (m_group > 0) {
            kill(-m_group, SIGTERM);
        }
    }

private:
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
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        int input[2];
        if (devNull < 0 || pipe2(input, O_CLOEXEC) != 0) {
            return false;
        }
        m_in = input[1];
        int previous = input[0];
        bool ok = true;
        for (const auto& stage : resolved) {
            int output[2];
            if (pipe2(output, O_CLOEXEC) != 0) {
                ok = false;
                break;
            }
            std::vector<char*> argv;
            for (const auto& word : stage) {
                argv.push_back(const_cast<char*>(word.c_str())); // execv does not write through argv
            }
            argv.push_back(nullptr);
            const int group = m_group;
            const pid_t pid = fork();
            if (pid == 0) {
                // Only async-signal-safe calls between fork and exec.
                setpgid(0, group);
                dup2(previous, STDIN_FILENO);
                dup2(output[1], STDOUT_FILENO);
                dup2(devNull, STDERR_FILENO);
                execv(argv[0], argv.data());
                _exit(127);
            }
            ::close(previous);
            ::close(output[1]);
            previous = output[0];
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
        ::close(devNull);
        m_out = previous;
        if (!ok) {
            return false;
        }
        m_reader = std::thread([this] { readAnswers(); });
        return true;
    }

    void readAnswers()
    {
        std::string answer;
        char buffer[65536];
        for (;;) {
            const ssize_t count = ::read(m_out, buffer, sizeof buffer);
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
                std::shared_ptr<std::promise<std::optional<std::string>>> promise;
                {
                    std::lock_guard lock(m_mutex);
                    if (!m_pending.empty()) {
                        promise = std::move(m_pending.front());
                        m_pending.pop_front();
                    }
                }
                if (promise) {
                    promise->set_value(std::move(answer));
                }
                answer.clear();
            }
        }
        std::lock_guard lock(m_mutex);
        m_broken = true;
        for (auto& promise : m_pending) {
            promise->set_value(std::nullopt);
        }
        m_pending.clear();
    }

    bool m_started = false;
    std::vector<int> m_pids;
    int m_group = 0;
    int m_in = -1;
    int m_out = -1;
    std::thread m_reader;
    std::mutex m_writeMutex;
    std::mutex m_mutex;
    bool m_broken = false;
    std::deque<std::shared_ptr<std::promise<std::optional<std::string>>>> m_pending;
};

ApertiumPipeline::ApertiumPipeline(PipelineStages stages) : m_stages(std::move(stages))
{
    // A program that dies leaves its pipe without a reader; the write must fail, not end the service.
    std::signal(SIGPIPE, SIG_IGN);
}

ApertiumPipeline::~ApertiumPipeline() = default;

std::shared_ptr<ApertiumPipeline::Running> ApertiumPipeline::running()
{
    std::lock_guard lock(m_mutex);
    if (!m_running) {
        auto fresh = std::make_shared<Running>(m_stages);
        if (!fresh->started()) {
            return nullptr;
        }
        m_running = std::move(fresh);
    }
    return m_running;
}

std::vector<int> ApertiumPipeline::processIds() const
{
    std::lock_guard lock(m_mutex);
    return m_running ? m_running->pids() : std::vector<int>{};
}

std::expected<std::vector<std::string>, PipelineError>
ApertiumPipeline::translate(const std::vector<std::string>& texts, std::chrono::milliseconds timeout)
{
    const auto current = running();
    if (!current) {
        return std::unexpected(PipelineError::notRunning);
    }
    const auto dropRunning = [&] {
        current->terminate();
        std::lock_guard lock(m_mutex);
        if (m_running == current) {
            m_running.reset();
        }
    };
    std::vector<std::future<std::optional<std::string>>> futures;
    for (const auto& text : texts) {
        // The closing line break keeps the last word's punctuation, which the analyser holds back
        // until it sees what follows; it is taken off the answer again.
        auto future = current->submit(escapeForApertium(text) + "\n" + '\0');
        if (!future) {
            dropRunning();
            return std::unexpected(PipelineError::broken);
        }
        futures.push_back(std::move(*future));
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> answers;
    for (auto& future : futures) {
        if (future.wait_until(deadline) != std::future_status::ready) {
            dropRunning();
            return std::unexpected(PipelineError::timedOut);
        }
        auto answer = future.get();
        if (!answer) {
            dropRunning();
            return std::unexpected(PipelineError::broken);
        }
        if (answer->ends_with('\n')) {
            answer->pop_back();
        }
        answers.push_back(unescapeFromApertium(*answer));
    }
    return answers;
}

} // namespace parlomatic::textservice
