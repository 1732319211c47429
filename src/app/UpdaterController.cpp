#include "app/UpdaterController.h"

#include "common/Async.h"
#include "common/Log.h"
#include "service/TranslatorRequest.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <utility>

namespace parlomatic::app {
namespace {

class DialogUserDriver final : public UpdateUserDriver {
public:
    void showUpdateFound(const UpdateItem& item, std::function<void(bool)> done) override
    {
        auto* box = message(QStringLiteral("Parlomatic %1 is available. Download it now?").arg(item.version));
        QPushButton* install = box->addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
        box->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
        QObject::connect(box, &QMessageBox::finished, box,
                         [box, install, done] { done(box->clickedButton() == install); });
        present(box);
    }
    void showUpToDate() override { present(message(QStringLiteral("Parlomatic is up to date."))); }
    void showUpdateError() override
    {
        present(message(QStringLiteral("Parlomatic could not check for updates. Please try again later.")));
    }

private:
    // Shown in front of the application the user is in, which they left for the tray menu.
    static void present(QMessageBox* box)
    {
        box->show();
        box->raise();
        box->activateWindow();
    }

    static QMessageBox* message(const QString& text)
    {
        auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Parlomatic"), text);
        box->setAttribute(Qt::WA_DeleteOnClose);
        return box;
    }
};

} // namespace

std::unique_ptr<UpdateUserDriver> makeDialogUserDriver()
{
    return std::make_unique<DialogUserDriver>();
}

UpdaterController::UpdaterController(std::shared_ptr<HttpClient> http, std::unique_ptr<UpdateUserDriver> driver,
                                     URLOpener openURL, Options options, QObject* parent)
    : QObject(parent), m_http(std::move(http)), m_driver(std::move(driver)), m_openURL(std::move(openURL)),
      m_options(std::move(options)), m_timer(std::make_unique<QTimer>())
{
    connect(m_timer.get(), &QTimer::timeout, this, [this] {
        m_timer->setInterval(m_options.checkInterval);
        checkInBackground();
    });
    m_timer->setInterval(m_options.firstCheckDelay);
    m_timer->start();
}

UpdaterController::~UpdaterController() = default;

void UpdaterController::fetch(std::function<void(const FeedResult&)> then)
{
    m_checking = true;
    runInBackground(
        this,
        [http = m_http, url = m_options.feedURL.toStdString(), current = m_options.currentVersion]() -> FeedResult {
            HttpRequest request;
            request.url = url;
            const HttpResult response = http->send(request);
            if (!response) {
                return std::unexpected(QString::fromStdString(service::describe(response.error())));
            }
            if (response->status != 200) {
                return std::unexpected(QStringLiteral("HTTP status %1").arg(response->status));
            }
            auto items = parseUpdateFeed(QByteArray::fromStdString(response->body));
            if (!items) {
                return std::unexpected(QStringLiteral("the feed is malformed (%1)").arg(items.error()));
            }
            std::optional<UpdateItem> newest;
            for (auto& item : *items) {
                if (compareVersions(item.version, current) > 0 &&
                    (!newest || compareVersions(item.version, newest->version) > 0)) {
                    newest = std::move(item);
                }
            }
            return newest;
        },
        [this, then = std::move(then)](const FeedResult& result) {
            m_checking = false;
            if (!result) {
                logError("Update check failed: " + result.error().left(300).toStdString());
            }
            then(result);
            if (std::exchange(m_userAsked, false)) {
                present(result);
            }
            emit checkFinished();
        });
}

void UpdaterController::checkForUpdates()
{
    if (m_checking) {
        // A scheduled check is under way: its result is the answer to this click.
        m_userAsked = !m_userCheck;
        return;
    }
    if (m_options.feedURL.isEmpty()) {
        m_driver->showUpToDate();
        finishSession();
        return;
    }
    m_userCheck = true;
    fetch([this](const FeedResult& result) {
        m_userCheck = false;
        present(result);
    });
}

void UpdaterController::present(const FeedResult& result)
{
    if (!result) {
        m_driver->showUpdateError();
        finishSession();
        return;
    }
    const std::optional<UpdateItem>& found = *result;
    if (!found) {
        m_driver->showUpToDate();
        finishSession();
        return;
    }
    m_driver->showUpdateFound(*found, [this, link = found->downloadURL](bool install) {
        if (install) {
            m_openURL(link);
        }
        finishSession();
    });
}

void UpdaterController::checkInBackground()
{
    if (m_checking || m_options.feedURL.isEmpty()) {
        return;
    }
    fetch([this](const FeedResult& result) {
        if (result && *result) {
            emit updateWaiting((*result)->version);
        }
    });
}

void UpdaterController::finishSession()
{
    emit updateSessionFinished();
}

} // namespace parlomatic::app
