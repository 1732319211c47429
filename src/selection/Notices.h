#pragma once

#include <QString>

#include <map>
#include <string>

namespace parlomatic {

class Clock;

// Tells the user, outside Parlomatic's own windows, that something they asked for did not happen:
// in plain words, never with their text. GUI thread only.
class Notices {
public:
    virtual ~Notices() = default;
    // `cause` names the kind of failure ("service", "write"), for throttling.
    virtual void tell(const std::string& cause, const QString& message) = 0;

protected:
    Notices() = default;
    Notices(const Notices&) = default;
    Notices& operator=(const Notices&) = default;
};

// Passes on at most one notice per cause every `intervalSeconds`: a user pressing again and again
// while the service is down hears of it once, not at every press.
class ThrottledNotices final : public Notices {
public:
    static constexpr double defaultIntervalSeconds = 30;

    // `target` and `clock` must outlive this object.
    ThrottledNotices(Notices& target, const Clock& clock, double intervalSeconds = defaultIntervalSeconds);

    void tell(const std::string& cause, const QString& message) override;

private:
    Notices& m_target;
    const Clock& m_clock;
    double m_interval;
    std::map<std::string, double> m_lastTold;
};

} // namespace parlomatic
