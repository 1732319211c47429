#include "common/Log.h"

#include <mutex>
#include <syslog.h>

namespace parlomatic {
namespace {

std::mutex& sinkMutex()
{
    static std::mutex mutex;
    return mutex;
}

LogSink& currentSink()
{
    static LogSink sink;
    return sink;
}

void openSystemLogOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { openlog("parlomatic", LOG_PID, LOG_USER); });
}

} // namespace

void logError(std::string_view message)
{
    std::string line(message);
    {
        std::lock_guard lock(sinkMutex());
        if (currentSink()) {
            currentSink()(line);
            return;
        }
    }
    openSystemLogOnce();
    syslog(LOG_ERR, "%s", line.c_str());
}

void setLogSink(LogSink sink)
{
    std::lock_guard lock(sinkMutex());
    currentSink() = std::move(sink);
}

} // namespace parlomatic
