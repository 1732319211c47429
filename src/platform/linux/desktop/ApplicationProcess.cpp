#include "platform/linux/desktop/ApplicationProcess.h"

#include <atomic>

#include <unistd.h>

namespace parlomatic::platform {

namespace {

std::atomic<Pid> application{0};

} // namespace

Pid applicationProcess()
{
    const Pid set = application.load();
    return set != 0 ? set : Pid(::getpid());
}

void setApplicationProcess(Pid pid)
{
    application = pid;
}

} // namespace parlomatic::platform
