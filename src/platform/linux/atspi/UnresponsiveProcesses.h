#pragma once

#include "selection/axUtils.h"

#include <chrono>
#include <map>
#include <optional>

namespace parlomatic::platform {

// Processes whose accessibility calls ran into the time-out are left alone for a while: a hung
// application then costs one time-out per cooling period instead of several per poll step.
class UnresponsiveProcesses {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto slowCall = std::chrono::milliseconds(250);
    static constexpr auto coolDown = std::chrono::seconds(3);

    bool isCoolingDown(selection::Pid pid)
    {
        const auto it = m_until.find(pid);
        if (it == m_until.end()) {
            return false;
        }
        if (Clock::now() >= it->second) {
            m_until.erase(it);
            return false;
        }
        return true;
    }

    // Times the calls made while it lives; a slow one puts the process on the list. Callers skip
    // their calls when skip() says the process is on the list already.
    class Watch {
    public:
        Watch(UnresponsiveProcesses& owner, std::optional<selection::Pid> pid)
            : m_owner(owner), m_pid(pid), m_skip(pid && owner.isCoolingDown(*pid))
        {}
        bool skip() const { return m_skip; }
        // The calls so far took too long: make no further call to this process.
        bool slow() const { return Clock::now() - m_started >= slowCall; }
        // The process answered in the end: the time went into many calls, not into waiting.
        void answered() { m_answered = true; }
        ~Watch()
        {
            if (m_pid && !m_skip && !m_answered && slow()) {
                m_owner.m_until[*m_pid] = Clock::now() + coolDown;
            }
        }
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;

    private:
        UnresponsiveProcesses& m_owner;
        std::optional<selection::Pid> m_pid;
        bool m_skip;
        bool m_answered = false;
        Clock::time_point m_started = Clock::now();
    };

private:
    std::map<selection::Pid, Clock::time_point> m_until;
};

} // namespace parlomatic::platform
