#pragma once

#include "app/UpdateFeed.h"
#include "common/HttpClient.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTimer;

namespace parlomatic::app {

// What the user sees of a check they asked for.
class UpdateUserDriver {
public:
    virtual ~UpdateUserDriver() = default;
    // `done(true)` when the user chose to install it; called exactly once.
    virtual void showUpdateFound(const UpdateItem& item, std::function<void(bool install)> done) = 0;
    virtual void showUpToDate() = 0;
    virtual void showUpdateError() = 0;
};

// Small non-modal message boxes.
std::unique_ptr<UpdateUserDriver> makeDialogUserDriver();

// Checks the update feed every day and on demand. A scheduled check that finds a newer version
// does not interrupt the user: it announces updateWaiting, and the user's next check shows it. A
// check on demand shows what it found; installing opens the item's download link. Without a feed
// URL every check on demand reports Parlomatic up to date. GUI thread only; the feed is fetched in
// the background. Failures are logged ("Update check failed: ...").
class UpdaterController : public QObject {
    Q_OBJECT
public:
    using URLOpener = std::function<void(const QUrl&)>;

    struct Options {
        QString feedURL;
        QString currentVersion;
        std::chrono::milliseconds firstCheckDelay = std::chrono::minutes(1);
        std::chrono::milliseconds checkInterval = std::chrono::hours(24);
    };

    // Starts the schedule at once. `http` is shared with the fetches still running.
    UpdaterController(std::shared_ptr<HttpClient> http, std::unique_ptr<UpdateUserDriver> driver, URLOpener openURL,
                      Options options, QObject* parent = nullptr);
    ~UpdaterController() override;

    // The check on demand (the status menu's update item). Ignored while a check runs.
    void checkForUpdates();
    // The scheduled check.
    void checkInBackground();

signals:
    // A scheduled check found `version` and left showing it to the program.
    void updateWaiting(const QString& version);
    // A check on demand has ended (installed, dismissed, up to date or failed).
    void updateSessionFinished();
    // Any check has ended; for tests and diagnostics.
    void checkFinished();

private:
    using FeedResult = std::expected<std::optional<UpdateItem>, QString>;
    void fetch(std::function<void(const FeedResult&)> then);
    // Shows the user a check's result, and ends the update session once they have answered.
    void present(const FeedResult& result);
    void finishSession();

    std::shared_ptr<HttpClient> m_http;
    std::unique_ptr<UpdateUserDriver> m_driver;
    URLOpener m_openURL;
    Options m_options;
    std::unique_ptr<QTimer> m_timer;
    bool m_checking = false;
    // The running check was started by the user (its result is shown), or the user asked while a
    // scheduled one ran (its result is shown when it ends).
    bool m_userCheck = false;
    bool m_userAsked = false;
};

} // namespace parlomatic::app
