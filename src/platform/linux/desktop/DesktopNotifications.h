#pragma once

#include "selection/Notices.h"

namespace parlomatic::platform {

// Notices as desktop notifications (org.freedesktop.Notifications on the session bus), sent
// without waiting for an answer. Without a notification service nothing is shown: the log line
// that each failure has already said is then all there is.
class DesktopNotifications final : public selection::Notices {
public:
    void tell(selection::NoticeCause cause, const QString& message) override;
};

} // namespace parlomatic::platform
