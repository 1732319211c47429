#include "selection/LogCategories.h"

namespace parlomatic {

Q_LOGGING_CATEGORY(pollerLog, "parlomatic.poller", QtInfoMsg)
// A write that worked is no error: it is told at info level, which a user can hide.
Q_LOGGING_CATEGORY(writeBackLog, "parlomatic.writeback", QtInfoMsg)
Q_LOGGING_CATEGORY(keysLog, "parlomatic.keys", QtInfoMsg)
Q_LOGGING_CATEGORY(sessionLog, "parlomatic.session", QtInfoMsg)
Q_LOGGING_CATEGORY(atspiLog, "parlomatic.atspi", QtInfoMsg)
Q_LOGGING_CATEGORY(x11Log, "parlomatic.x11", QtInfoMsg)
Q_LOGGING_CATEGORY(waylandLog, "parlomatic.wayland", QtInfoMsg)
Q_LOGGING_CATEGORY(accessibilityLog, "parlomatic.accessibility", QtInfoMsg)

} // namespace parlomatic
