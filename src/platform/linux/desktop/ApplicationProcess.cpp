#include "platform/linux/desktop/ApplicationProcess.h"

#include <atomic>

#include <unistd.h>

namespace parlomatic::platform {

namespace {

std::atomic<selection::Pid> application{0};

} // namespace

selection::Pid applicationProcess()
{
    const selection::Pid set = application.load();
    return set != 0 ? set : selection::Pid(::getpid());
}

void setApplicationProcess(selection::Pid pid)
{
    application = pid;
}

} // namespace parlomatic::platform
