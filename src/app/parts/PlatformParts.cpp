#include "app/parts/PlatformParts.h"

#include "selection/LogCategories.h"

namespace parlomatic::app {

namespace {

QString describe(const platform::Session& session)
{
    if (!session.wayland()) {
        return session.hasDisplay() ? QStringLiteral("Session: X11") : QStringLiteral("Session: no display");
    }
    QString line = QStringLiteral("Session: Wayland under %1, %2")
                       .arg(QString::fromLatin1(platform::compositorName(session.compositor)),
                            session.xwayland() ? QStringLiteral("with XWayland") : QStringLiteral("without XWayland"));
    if (session.xwaylandRootMayBeScaled()) {
        line += QStringLiteral("; XWayland's root may be scaled (measured from its size)");
    }
    if (session.windowUnitsMayBeScaled()) {
        line += QStringLiteral("; a window's own units may be its output's pixels (told per window)");
    }
    return line;
}

} // namespace

PlatformParts::PlatformParts(platform::Session session) : m_session(std::move(session))
{
    qCDebug(sessionLog).noquote() << describe(m_session);
}

} // namespace parlomatic::app
