#pragma once

#include "common/Clock.h"

#include <atomic>

namespace parlomatic {

// A clock that stands still until the test moves it.
class FakeClock final : public Clock {
public:
    explicit FakeClock(double start = 1'700'000'000.0) : m_now(start) {}
    double now() const override { return m_now.load(); }
    void set(double seconds) { m_now.store(seconds); }
    void advance(double seconds) { m_now.store(m_now.load() + seconds); }

private:
    std::atomic<double> m_now;
};

} // namespace parlomatic
