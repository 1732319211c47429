#pragma once

#include <QString>

#include <cstdint>
#include <map>

namespace parlomatic {
class Clock;
} // namespace parlomatic

namespace parlomatic::selection {

// What a notice is about. One that asks the user to do something is never held back.
enum class NoticeCause : std::uint8_t { service, write, keys, accessibility, compositor, session, userMustAct };

// Tells the user, outside Parlomatic's own windows, that something they asked for did not happen:
// in plain words, never with their text. GUI thread only.
class Notices {
public:
    virtual ~Notices() = default;
    virtual void tell(NoticeCause cause, const QString& message) = 0;

protected:
    Notices() = default;
    Notices(const Notices&) = default;
    Notices& operator=(const Notices&) = default;
};

// Passes on each message at most once every `intervalSeconds`: a user pressing again and again
// while the service is down hears of it once, not at every press. Different messages all pass, and
// so does every notice that asks the user to act.
class ThrottledNotices final : public Notices {
public:
    static constexpr double defaultIntervalSeconds = 30;

    // `target` and `clock` must outlive this object.
    ThrottledNotices(Notices& target, const Clock& clock, double intervalSeconds = defaultIntervalSeconds);

    void tell(NoticeCause cause, const QString& message) override;

private:
    Notices& m_target;
    const Clock& m_clock;
    double m_interval;
    std::map<QString, double> m_lastTold;
};

} // namespace parlomatic::selection
