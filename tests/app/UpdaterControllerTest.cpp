#include "app/UpdaterController.h"

#include "support/LoopbackServiceFixture.h"

#include <QSignalSpy>
#include <QTest>

namespace parlomatic::test {
namespace {

std::string feedWith(const std::string& items)
{
    return R"(<?xml version="1.0" encoding="utf-8"?>)"
           R"(<rss version="2.0" xmlns:pm="https://parlomatic.app/xml/update-feed"><channel><title>Parlomatic</title>)" +
           items + "</channel></rss>";
}

std::string item(const std::string& version, const std::string& url = "https://example.com/parlomatic.deb")
{
    return "<item><title>Parlomatic " + version + "</title><pm:version>" + version +
           R"(</pm:version><enclosure url=")" + url + R"(" type="application/octet-stream"/></item>)";
}

class FakeDriver final : public UpdateUserDriver {
public:
    void showUpdateFound(const UpdateItem& item, std::function<void(bool)> done) override
    {
        found.push_back(item.version.toStdString());
        done(install);
    }
    void showUpToDate() override { ++upToDate; }
    void showUpdateError() override { ++errors; }

    bool install = true;
    std::vector<std::string> found;
    int upToDate = 0;
    int errors = 0;
};

class UpdaterControllerTest : public LoopbackServiceFixture {
protected:
    UpdaterController& makeUpdater(QString feedUrl, QString version = QStringLiteral("1.9.0"))
    {
        auto owned = std::make_unique<FakeDriver>();
        driver = owned.get();
        UpdaterController::Options options;
        options.feedUrl = std::move(feedUrl);
        options.currentVersion = std::move(version);
        options.firstCheckDelay = std::chrono::hours(1); // the test starts every check itself
        updater = std::make_unique<UpdaterController>(
            std::make_shared<CurlHttpClient>(trustingOptions()), std::move(owned),
            [this](const QUrl& url) { opened.push_back(url); }, options);
        return *updater;
    }

    QString feedUrl() const { return QString::fromStdString(server.baseUrl() + "/appcast.xml"); }

    // Runs one check and waits for it to end.
    void run(void (UpdaterController::*check)())
    {
        QSignalSpy finished(updater.get(), &UpdaterController::checkFinished);
        (updater.get()->*check)();
        ASSERT_TRUE(finished.wait(10'000));
    }

    FakeDriver* driver = nullptr;
    std::vector<QUrl> opened;
    std::unique_ptr<UpdaterController> updater;
};

struct FeedCase {
    const char* name;
    int status;
    std::string body;
    std::optional<std::string> waiting; // the version announced, if any
    std::string logged;                 // the start of the logged line, if any
};

class ScheduledCheckTest : public UpdaterControllerTest, public ::testing::WithParamInterface<FeedCase> {};

TEST_P(ScheduledCheckTest, AnnouncesOnlyANewerVersion)
{
    setReply(GetParam().status, GetParam().body);
    makeUpdater(feedUrl());
    QSignalSpy waiting(updater.get(), &UpdaterController::updateWaiting);
    run(&UpdaterController::checkInBackground);

    if (GetParam().waiting) {
        ASSERT_EQ(waiting.count(), 1);
        EXPECT_EQ(waiting.front().front().toString().toStdString(), *GetParam().waiting);
    } else {
        EXPECT_EQ(waiting.count(), 0);
    }
    if (GetParam().logged.empty()) {
        EXPECT_TRUE(logs.lines().empty());
    } else {
        ASSERT_EQ(logs.lines().size(), 1u);
        EXPECT_TRUE(logs.lines().front().starts_with(GetParam().logged)) << logs.lines().front();
    }
    EXPECT_EQ(requests().front().target, "/appcast.xml");
    EXPECT_TRUE(opened.empty());
    EXPECT_TRUE(driver->found.empty()); // a scheduled find never interrupts the user
}

INSTANTIATE_TEST_SUITE_P(
    Feeds, ScheduledCheckTest,
    ::testing::Values(
        // 1.10 is newer than 1.9 although it sorts before it as text; the newest item wins.
        FeedCase{"NumericallyNewer", 200, feedWith(item("1.8.5") + item("1.10.0") + item("1.9.1")), "1.10.0", ""},
        FeedCase{"Equal", 200, feedWith(item("1.9") + item("1.9.0")), std::nullopt, ""},
        FeedCase{"Older", 200, feedWith(item("1.8.99")), std::nullopt, ""},
        FeedCase{"ItemWithoutVersionIsSkipped", 200, feedWith("<item><title>x</title><link>https://e.x/</link></item>"),
                 std::nullopt, ""},
        FeedCase{"Malformed", 200, "<rss version=\"2.0\"><channel><item><pm:version>9</item>", std::nullopt,
                 "Update check failed: the feed is malformed"},
        FeedCase{"NotRss", 200, "{\"version\":\"9.9\"}", std::nullopt, "Update check failed: the feed is malformed"},
        FeedCase{"ServerError", 503, "<html>down</html>", std::nullopt, "Update check failed: HTTP status 503"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(UpdaterControllerTest, CheckOnDemandShowsTheUpdateAndInstallingOpensItsLink)
{
    setReply(200, feedWith(item("2.0.0", "https://downloads.example.com/parlomatic-2.0.0.deb")));
    makeUpdater(feedUrl());
    QSignalSpy finishedSession(updater.get(), &UpdaterController::updateSessionFinished);

    run(&UpdaterController::checkForUpdates);

    EXPECT_EQ(driver->found, std::vector<std::string>{"2.0.0"});
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened.front().toString(), "https://downloads.example.com/parlomatic-2.0.0.deb");
    EXPECT_EQ(finishedSession.count(), 1);

    driver->install = false;
    run(&UpdaterController::checkForUpdates);
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_EQ(finishedSession.count(), 2);
}

TEST_F(UpdaterControllerTest, WithoutFeedEveryCheckOnDemandIsUpToDate)
{
    makeUpdater(QString());
    QSignalSpy finishedSession(updater.get(), &UpdaterController::updateSessionFinished);
    updater->checkForUpdates();
    updater->checkInBackground();
    EXPECT_EQ(driver->upToDate, 1);
    EXPECT_EQ(finishedSession.count(), 1);
    EXPECT_TRUE(requests().empty());
}

} // namespace
} // namespace parlomatic::test
