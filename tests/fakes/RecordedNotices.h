#pragma once

#include "selection/Notices.h"

#include <QStringList>

namespace parlomatic::test {

// Notices that are only recorded.
class RecordedNotices final : public selection::Notices {
public:
    void tell(selection::NoticeCause, const QString& message) override { told.append(message); }
    QStringList told;
};

} // namespace parlomatic::test
