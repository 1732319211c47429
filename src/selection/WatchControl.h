#pragma once

#include "selection/ApplicationIdentity.h"

#include <QObject>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

class QTimer;

namespace parlomatic {
class Clock;
} // namespace parlomatic

namespace parlomatic::service {
class Preferences;
} // namespace parlomatic::service

namespace parlomatic::selection {

class TextSelectionPoller;

// The user's say over the watcher: a pause until a given time, and the applications it is turned
// off in. Both are kept in the user's settings, so a restart keeps them; a pause whose end has
// passed is gone. GUI thread, except isTurnedOff(), which the accessibility thread asks.
class WatchControl : public QObject {
    Q_OBJECT
public:
    // Seconds since 1970 as text; absent while not paused.
    static constexpr std::string_view pausedUntilKey = "pausedUntil";
    // The turned-off applications' stable ids, and their names in the same order for the menu.
    static constexpr std::string_view turnedOffKey = "turnedOffApplications";
    static constexpr std::string_view turnedOffNamesKey = "turnedOffApplicationNames";
    static constexpr double pauseSeconds = 3600;

    // Both must outlive the control.
    WatchControl(service::Preferences& preferences, const Clock& clock, QObject* parent = nullptr);
    ~WatchControl() override;

    // The end of the pause, or nothing when the watcher is not paused.
    std::optional<double> pausedUntil() const;
    bool isPaused() const { return pausedUntil().has_value(); }
    void pause(double seconds = pauseSeconds);
    void resume();

    std::vector<ApplicationIdentity> turnedOff() const;
    bool isTurnedOff(const QString& id) const;
    void turnOff(const ApplicationIdentity& application);
    void turnOn(const QString& id);

    // The application the strip was last shown in, while the process runs.
    const std::optional<ApplicationIdentity>& lastShown() const { return m_lastShown; }
    void setLastShown(const ApplicationIdentity& application);

    // Makes `poller` obey this control: no step while paused, nothing read from a turned-off
    // application (told apart by `identities`), and the strip's application remembered.
    void govern(TextSelectionPoller& poller, std::shared_ptr<ApplicationIdentities> identities);

signals:
    void pausedChanged();
    void turnedOffChanged();
    void lastShownChanged();

private:
    void store(const std::vector<ApplicationIdentity>& applications);
    // Arms the timer for the pause's end, or clears a pause that has ended.
    void watchPauseEnd();

    service::Preferences& m_preferences;
    const Clock& m_clock;
    std::optional<double> m_pausedUntil;
    std::unique_ptr<QTimer> m_pauseEnd;
    mutable std::mutex m_mutex; // guards m_turnedOff
    std::vector<ApplicationIdentity> m_turnedOff;
    std::optional<ApplicationIdentity> m_lastShown;
};

} // namespace parlomatic::selection
