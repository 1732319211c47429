#pragma once

#include "identity/SystemBrowserSession.h"

#include <QString>

#include <chrono>

namespace parlomatic::app {

// The sign-in's web session of the desktop: the system browser (QDesktopServices) and the
// "Continue in your browser" window, both driven on the GUI thread whatever thread starts the flow.
identity::SystemBrowserSession::Options
systemBrowserOptions(std::chrono::milliseconds timeout = std::chrono::minutes(5));

// A sign-in answer on our private-use URL scheme, handed over by a later launch: given to the
// waiting sign-in on the thread pool (redeeming its code blocks), or dropped with one log line.
void receiveRedirect(const QString& url);

// Makes it the web session of every sign-in that has no provider of its own. Call once the
// QApplication exists.
void installSystemBrowserSignIn();

} // namespace parlomatic::app
