#pragma once

namespace parlomatic {

// Wall-clock time as seconds since 1970-01-01 UTC. Expiry and ordering decisions read time
// through this interface so tests can set it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
};

class SystemClock final : public Clock {
public:
    double now() const override;
};

// The process-wide system clock.
const Clock& systemClock();

} // namespace parlomatic
