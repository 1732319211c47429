#pragma once

#include <QLoggingCategory>

// One logging category per area. Warnings and info lines show by default; the debug lines, off by
// default, tell the decisions a user asks about ("why is there no strip?", "why was nothing
// written?"). Turn them on with QT_LOGGING_RULES, e.g. "parlomatic.*.debug=true" (see the README's
// troubleshooting section). No line carries a token, a code, a verifier, a password or selected text:
// a selection is told by its place, its element's role and its length at most.
//
// The lines the design asks for go through logError (common/Log.h), not through these.
namespace parlomatic {

Q_DECLARE_LOGGING_CATEGORY(pollerLog)        // parlomatic.poller: each step's decision about the strip
Q_DECLARE_LOGGING_CATEGORY(writeBackLog)     // parlomatic.writeback: how a Replace or Improve is written back
Q_DECLARE_LOGGING_CATEGORY(keysLog)          // parlomatic.keys: the global shortcuts
Q_DECLARE_LOGGING_CATEGORY(sessionLog)       // parlomatic.session: the session kind and the implementations picked
Q_DECLARE_LOGGING_CATEGORY(atspiLog)         // parlomatic.atspi: the accessibility layer
Q_DECLARE_LOGGING_CATEGORY(x11Log)           // parlomatic.x11: the window stack, XTest keys, the clipboard's owner
Q_DECLARE_LOGGING_CATEGORY(waylandLog)       // parlomatic.wayland: the compositors' window reports and pastes
Q_DECLARE_LOGGING_CATEGORY(accessibilityLog) // parlomatic.accessibility: the accessibility process and its channel

} // namespace parlomatic
