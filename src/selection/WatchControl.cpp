#include "selection/WatchControl.h"

#include "common/Clock.h"
#include "selection/TextSelectionPoller.h"
#include "service/Preferences.h"

#include <QTimer>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string>

namespace parlomatic::selection {
namespace {

std::optional<double> parseSeconds(const std::optional<std::string>& text)
{
    double seconds = 0;
    if (!text || std::from_chars(text->data(), text->data() + text->size(), seconds).ec != std::errc() ||
        !std::isfinite(seconds)) {
        return std::nullopt;
    }
    return seconds;
}

} // namespace

WatchControl::WatchControl(service::Preferences& preferences, const Clock& clock, QObject* parent)
    : QObject(parent), m_preferences(preferences), m_clock(clock),
      m_pausedUntil(parseSeconds(preferences.stringForKey(pausedUntilKey)))
{
    const std::vector<std::string> ids = preferences.stringList(turnedOffKey);
    const std::vector<std::string> names = preferences.stringList(turnedOffNamesKey);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ApplicationIdentity application{.id = QString::fromStdString(ids[i]), .name = {}};
        // A list edited by hand may lack names: the last part of the id stands in.
        application.name = i < names.size() && !names[i].empty() ? QString::fromStdString(names[i])
                                                                 : application.id.section(QLatin1Char('/'), -1);
        m_turnedOff.push_back(std::move(application));
    }
    // A pause never lasts longer than it was asked for, also when the clock was set back since.
    if (m_pausedUntil) {
        m_pausedUntil = std::min(*m_pausedUntil, m_clock.now() + pauseSeconds);
    }
    watchPauseEnd();
}

WatchControl::~WatchControl() = default;

std::optional<double> WatchControl::pausedUntil() const
{
    if (m_pausedUntil && *m_pausedUntil > m_clock.now()) {
        return m_pausedUntil;
    }
    return std::nullopt;
}

void WatchControl::pause(double seconds)
{
    m_pausedUntil = m_clock.now() + seconds;
    // to_chars: independent of the user's locale, which the reading side (from_chars) is too.
    std::array<char, 32> text{};
    const auto written = std::to_chars(text.data(), text.data() + text.size(), *m_pausedUntil);
    m_preferences.setString(pausedUntilKey, std::string_view(text.data(), written.ptr));
    watchPauseEnd();
    emit pausedChanged();
}

void WatchControl::resume()
{
    const bool wasPaused = m_pausedUntil.has_value();
    m_pausedUntil.reset();
    m_preferences.remove(pausedUntilKey);
    m_pauseEnd.reset();
    if (wasPaused) {
        emit pausedChanged();
    }
}

void WatchControl::watchPauseEnd()
{
    if (!m_pausedUntil) {
        return;
    }
    const double left = *m_pausedUntil - m_clock.now();
    if (left <= 0) {
        resume();
        return;
    }
    m_pauseEnd = std::make_unique<QTimer>();
    m_pauseEnd->setSingleShot(true);
    // The wall clock may have been set meanwhile (or the machine slept): looked at again on expiry.
    connect(m_pauseEnd.get(), &QTimer::timeout, this,
            [this] { QTimer::singleShot(0, this, [this] { watchPauseEnd(); }); });
    m_pauseEnd->start(static_cast<int>(std::ceil(std::min(left, pauseSeconds) * 1000)));
}

std::vector<ApplicationIdentity> WatchControl::turnedOff() const
{
    std::lock_guard lock(m_mutex);
    return m_turnedOff;
}

bool WatchControl::isTurnedOff(const QString& id) const
{
    std::lock_guard lock(m_mutex);
    return std::ranges::find(m_turnedOff, id, &ApplicationIdentity::id) != m_turnedOff.end();
}

void WatchControl::turnOff(const ApplicationIdentity& application)
{
    std::vector<ApplicationIdentity> applications;
    {
        std::lock_guard lock(m_mutex);
        if (std::ranges::find(m_turnedOff, application.id, &ApplicationIdentity::id) != m_turnedOff.end()) {
            return;
        }
        m_turnedOff.push_back(application);
        applications = m_turnedOff;
    }
    store(applications);
}

void WatchControl::turnOn(const QString& id)
{
    std::vector<ApplicationIdentity> applications;
    {
        std::lock_guard lock(m_mutex);
        if (std::erase_if(m_turnedOff, [&id](const ApplicationIdentity& a) { return a.id == id; }) == 0) {
            return;
        }
        applications = m_turnedOff;
    }
    store(applications);
}

void WatchControl::store(const std::vector<ApplicationIdentity>& applications)
{
    std::vector<std::string> ids;
    std::vector<std::string> names;
    for (const ApplicationIdentity& application : applications) {
        ids.push_back(application.id.toStdString());
        names.push_back(application.name.toStdString());
    }
    m_preferences.setStringList(turnedOffKey, ids);
    m_preferences.setStringList(turnedOffNamesKey, names);
    emit turnedOffChanged();
}

void WatchControl::setLastShown(const ApplicationIdentity& application)
{
    if (m_lastShown != application) {
        m_lastShown = application;
        emit lastShownChanged();
    }
}

void WatchControl::govern(TextSelectionPoller& poller, std::shared_ptr<ApplicationIdentities> identities)
{
    poller.setHold([this] { return isPaused(); });
    poller.setApplicationFilter({.identities = std::move(identities),
                                 .isTurnedOff = [this](const QString& id) { return isTurnedOff(id); },
                                 .turnedOffIds =
                                     [this] {
                                         QStringList ids;
                                         for (const ApplicationIdentity& application : turnedOff()) {
                                             ids.append(application.id);
                                         }
                                         return ids;
                                     }});
    connect(this, &WatchControl::turnedOffChanged, &poller, &TextSelectionPoller::applicationFilterChanged);
    connect(this, &WatchControl::pausedChanged, &poller, &TextSelectionPoller::holdChanged);
    connect(&poller, &TextSelectionPoller::stepFinished, this, [this](const PollStep& step) {
        if (step.decision == PollStep::Decision::show && step.application) {
            setLastShown(*step.application);
        }
    });
}

} // namespace parlomatic::selection
