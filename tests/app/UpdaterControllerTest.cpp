#include "app/UpdaterController.h"

#include "support/LoopbackServiceFixture.h"

#include <QSignalSpy>

namespace parlomatic::test {
namespace {

std::string feedWith(const std::vector<std::string>& versions)
{
    std::string items;
    for (const auto& version : versions) {
        items += QStringLiteral("<item><title>Parlomatic %1</title><pm:version>%1</pm:version>"
                                "<enclosure url=\"https://example.com/parlomatic-%1.deb\"/></item>")
                     .arg(QString::fromStdString(version))
                     .toStdString();
    }
    return R"(<?xml version="1.0"?><rss version="2.0" xmlns:pm="https://parlomatic.app/xml/update-feed">)"
           "<channel><title>Parlomatic</title>" +
           items + "</channel></rss>";
}

class FakeDriver final : public app::UpdateUserDriver {
public:
    void showUpdateFound(const app::UpdateItem& item, std::function<void(bool)> done) override
    {
        found.push_back(item.version.toStdString());
        done(true);
    }
    void showUpToDate() override { ++upToDate; }
    void showUpdateError() override {}

    std::vector<std::string> found;
    int upToDate = 0;
};

class UpdaterControllerTest : public LoopbackServiceFixture {
protected:
    void makeUpdater(bool withFeed = true)
    {
        auto owned = std::make_unique<FakeDriver>();
        driver = owned.get();
        // Version 1.9.0; the test starts every check itself.
        updater = std::make_unique<app::UpdaterController>(
            std::make_shared<CurlHttpClient>(trustingOptions()), std::move(owned),
            [this](const QUrl& url) { opened.push_back(url.toString().toStdString()); },
            app::UpdaterController::Options{
                .feedURL = withFeed ? QString::fromStdString(server.baseURL() + "/appcast.xml") : QString(),
                .currentVersion = QStringLiteral("1.9.0"),
                .firstCheckDelay = std::chrono::hours(1)});
        sessions = std::make_unique<QSignalSpy>(updater.get(), &app::UpdaterController::updateSessionFinished);
        QObject::connect(updater.get(), &app::UpdaterController::updateWaiting,
                         [this](const QString& version) { lastWaiting = version.toStdString(); });
    }

    FakeDriver* driver = nullptr;
    std::vector<std::string> opened;
    std::string lastWaiting;
    std::unique_ptr<app::UpdaterController> updater;
    std::unique_ptr<QSignalSpy> sessions;
};

TEST_F(UpdaterControllerTest, AScheduledCheckAnnouncesOnlyANewerVersionAndInterruptsNobody)
{
    // The status, the body, the version announced and the start of the logged line, if any.
    const std::tuple<int, std::string, std::string, std::string> cases[] = {
        // 1.10 is newer than 1.9 although it sorts before it as text; the newest item wins.
        {200, feedWith({"1.8.5", "1.10.0", "1.9.1"}), "1.10.0", ""},
        {200, feedWith({"1.9", "1.9.0", "1.8.99"}), "", ""},
        {200, "<rss version=\"2.0\"><channel><item><pm:version>9</item>", "",
         "Update check failed: the feed is malformed"},
        {503, "<html>down</html>", "", "Update check failed: HTTP status 503"},
    };
    for (const auto& [status, body, waiting, logged] : cases) {
        SCOPED_TRACE(body);
        lastWaiting.clear();
        logs.clear();
        setReply(status, body);
        makeUpdater();
        QSignalSpy finished(updater.get(), &app::UpdaterController::checkFinished);
        updater->checkInBackground();
        ASSERT_TRUE(finished.wait(10'000));

        EXPECT_EQ(lastWaiting, waiting);
        const auto lines = logs.lines();
        EXPECT_EQ(lines.size(), logged.empty() ? 0u : 1u);
        if (!lines.empty()) {
            EXPECT_TRUE(lines.front().starts_with(logged)) << lines.front();
        }
        EXPECT_TRUE(opened.empty());
        EXPECT_TRUE(driver->found.empty());
    }
}

// A click while a scheduled check runs is answered by that check's result, once; installing opens its link.
TEST_F(UpdaterControllerTest, OnDemandAClickDuringAScheduledCheckShowsItsResult)
{
    setReply(200, feedWith({"2.0.0"}));
    makeUpdater();
    QSignalSpy finished(updater.get(), &app::UpdaterController::checkFinished);
    updater->checkInBackground();
    updater->checkForUpdates();
    ASSERT_TRUE(finished.wait(10'000));
    EXPECT_EQ(driver->found, std::vector<std::string>{"2.0.0"});
    EXPECT_EQ(opened, std::vector<std::string>{"https://example.com/parlomatic-2.0.0.deb"});
    EXPECT_EQ(sessions->count(), 1);
    EXPECT_EQ(lastWaiting, "2.0.0");

    makeUpdater(false); // without a feed: up to date, and nothing asked
    updater->checkForUpdates();
    updater->checkInBackground();
    EXPECT_EQ(driver->upToDate, 1);
    EXPECT_EQ(sessions->count(), 1);
    EXPECT_EQ(requests().size(), 1u);
}

// Found by fuzzing: a feed could have us open a local file or any program's URL scheme, and its
// error texts quoted it.
TEST(UpdateFeedTest, OpensOnlyWebLinksAndNeverQuotesTheFeed)
{
    const auto items = app::parseUpdateFeed(R"(<rss><channel>
        <item><version>2</version><enclosure url="file:///etc/passwd"/><link>https://example.com/2</link></item>
        <item><version>3</version><link>https@//example.com/3</link></item>
        <item><version>4</version><enclosure url="app.parlomatic.parlomatic:/callback?code=x"/></item>
        </channel></rss>)");
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 1u);
    EXPECT_EQ(items->front().downloadURL.toString(), QStringLiteral("https://example.com/2"));

    const auto error = app::parseUpdateFeed("<rss><channel>&feedtext;</channel></rss>");
    ASSERT_FALSE(error);
    EXPECT_FALSE(error.error().contains(QStringLiteral("feedtext"))) << error.error().toStdString();
}

} // namespace
} // namespace parlomatic::test
