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
    // A copy goes to stderr: where no system log listens (containers, test desktops) the lines are
    // still there, and a desktop session keeps a tray program's stderr in its own log.
    std::call_once(once, [] { openlog("parlomatic", LOG_PID | LOG_PERROR, LOG_USER); });
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
