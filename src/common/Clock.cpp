#include "common/Clock.h"

#include <chrono>

namespace parlomatic {

double SystemClock::now() const
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

const Clock& systemClock()
{
    static const SystemClock clock;
    return clock;
}

} // namespace parlomatic
