#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace parlomatic::test {

// A program started by a test, with its standard input and output as pipes. While the object lives
// the input stays open (servers that stop when it closes keep running); the destructor closes it,
// waits a little for the program to end and otherwise ends it by its PID.
class ChildProcess {
public:
    // `environment` is added to this process's environment.
    ChildProcess(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment = {});
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    // The next line of standard output, or nothing when none came within `limit`.
    std::optional<std::string> readLine(std::chrono::milliseconds limit);
    // The exit status once the program has ended within `limit`; nothing otherwise.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);

private:
    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    std::string m_buffer;
    std::optional<int> m_status;
};

} // namespace parlomatic::test
