#include "accessibility/RemoteAccessibility.h"
#include "accessibility/AccessibilityProtocol.h"
#include "accessibility/AccessibilityServer.h"
#include "fakes/FakeAccessibility.h"
#include "selection/PanelPlacement.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonDocument>

#include <chrono>
#include <thread>
#include <vector>

namespace parlomatic::platform {
namespace {

using namespace std::chrono_literals;

// Every call crosses to a helper process and back with its value intact, a selection far larger than
// the socket's buffer too; an element handed out twice is the same element, and one the helper never
// handed out is nothing.
TEST(RemoteAccessibilityTest, CallsCrossToTheHelperAndBack)
{
    qputenv("FAKE_HELPER_MODE", "serve");
    RemoteAccessibility::Launcher launcher(QStringLiteral(FAKE_ACCESSIBILITY_HELPER));
    const auto layer = launcher.make();
    ASSERT_TRUE(layer->isConnected());
    EXPECT_GT(layer->helperPid(), 0);
    EXPECT_EQ(layer->frontmostWindowOwnerPid(), 4242);
    EXPECT_EQ(layer->bundleIdentifier(4242), QStringLiteral("org.example.Editor"));
    EXPECT_EQ(layer->applicationElement(7), nullptr);
    const selection::Element application = layer->applicationElement(4242);
    ASSERT_NE(application, nullptr);
    const selection::Element focused = layer->focusedElement(application);
    ASSERT_NE(focused, nullptr);
    EXPECT_TRUE(focused->isSameElement(*layer->focusedElement(layer->applicationElement(4242))));
    EXPECT_FALSE(focused->isSameElement(*application));
    EXPECT_EQ(focused->processId(), 4242);
    EXPECT_EQ(layer->selectedText(focused), QStringLiteral("h\u00e9llo\n\"w\u00f6rld\" \U0001F600"));
    EXPECT_EQ(layer->textMark(focused),
              (selection::AccessibilityBackend::TextMark{.start = 2, .end = 7, .length = 20}));
    EXPECT_EQ(layer->selectionBoundsFromTextMarkers(focused), (selection::AxRect{1.5, 2, 30, 12}));
    EXPECT_EQ(layer->selectionBoundsFromRange(focused), std::nullopt);
    EXPECT_EQ(layer->elementRole(focused), QStringLiteral("AXTextArea"));
    EXPECT_EQ(layer->textBetween(focused, 0, 0), QString());
    // A whole step past the front process, in one request.
    const selection::SelectionReading reading = layer->readFocused(4242);
    EXPECT_EQ(reading.outcome, selection::SelectionReading::Outcome::selection);
    ASSERT_NE(reading.step.element, nullptr);
    EXPECT_TRUE(reading.step.element->isSameElement(*focused));
    EXPECT_EQ(reading.step.app, QStringLiteral("org.example.Editor"));
    EXPECT_EQ(reading.step.rect, (selection::AxRect{1.5, 2, 30, 12}));
    EXPECT_EQ(reading.selectedText, layer->selectedText(focused));
    EXPECT_EQ(reading.step.text, selection::trimmedSelection(*reading.selectedText));
    EXPECT_EQ(layer->readFocused(7).outcome, selection::SelectionReading::Outcome::noFocus);
    EXPECT_TRUE(layer->replaceSelection(focused, QStringLiteral("written")));
    EXPECT_TRUE(layer->isResponding(4242));
    const selection::Element large = layer->focusedElement(layer->applicationElement(4343));
    EXPECT_EQ(layer->selectedText(large).value_or(QString()).size(), 4 * 1024 * 1024);
    EXPECT_TRUE(layer->isConnected());

    // Watching, the helper's readings come between answers, with the watch's generation.
    std::vector<std::pair<selection::SelectionReading, std::int64_t>> readings;
    ASSERT_TRUE(layer->watchSelections({.every = 50ms, .ownPid = 1, .turnedOff = {}, .generation = 9},
                                       [&readings](selection::SelectionReading sent, std::int64_t generation) {
                                           readings.emplace_back(std::move(sent), generation);
                                       }));
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (readings.empty() && std::chrono::steady_clock::now() < until) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    ASSERT_EQ(readings.size(), 1U);
    EXPECT_EQ(readings[0].second, 9);
    EXPECT_EQ(readings[0].first.step.pid, 4242);
    EXPECT_TRUE(readings[0].first.step.element->isSameElement(*focused));
    EXPECT_EQ(readings[0].first.selectedText, reading.selectedText);
    EXPECT_TRUE(layer->isConnected());
}

// A helper that answers what is not ours, never answers (ended after 2 s) or crashes is ended and
// gives nothing; one that keeps crashing is told once and started again only after a pause.
TEST(RemoteAccessibilityTest, AHelperThatMisbehavesIsEndedAndStartedAgainAfterAPause)
{
    for (const char* mode : {"nonsense", "silent", "crash"}) {
        SCOPED_TRACE(mode);
        qputenv("FAKE_HELPER_MODE", mode);
        int told = 0;
        RemoteAccessibility::Launcher launcher(QStringLiteral(FAKE_ACCESSIBILITY_HELPER),
                                               [&told](const QString&) { ++told; });
        const auto started = std::chrono::steady_clock::now();
        const auto layer = launcher.make();
        EXPECT_EQ(layer->frontmostWindowOwnerPid(), std::nullopt);
        EXPECT_FALSE(layer->isConnected());
        EXPECT_EQ(layer->helperPid(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
        EXPECT_FALSE(launcher.make()->isConnected()) << "started again at once";
        if (mode != std::string("crash")) {
            continue;
        }
        // Started again after each pause until the user is told, once.
        for (auto until = started + 10s; told == 0 && std::chrono::steady_clock::now() < until;) {
            static_cast<void>(launcher.make()->frontmostWindowOwnerPid());
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_EQ(told, 1);
    }
}

// The helper's own end refuses what is not a request of ours, and never acts on it.
TEST(RemoteAccessibilityTest, TheHelperRefusesWhatIsNotARequest)
{
    selection::FakeAccessibility fake;
    fake.addApplication(4242);
    AccessibilityServer server(fake);
    const auto answer = [&server](const char* request) {
        return QJsonDocument::fromJson(server.answer(request)).object();
    };
    for (const char* request : {"", "nonsense", "[]", R"({"call":7})", R"({"call":"format the disk"})"}) {
        EXPECT_TRUE(answer(request).contains(QLatin1String("error"))) << request;
    }
    EXPECT_EQ(answer(R"({"call":"selectedText","el":99})")[QLatin1String("v")], QJsonValue());
    EXPECT_EQ(answer(R"({"call":"textBetween","el":1,"a":"x","b":2})")[QLatin1String("v")], QJsonValue());
    const QJsonValue application = answer(R"({"call":"application","pid":4242})")[QLatin1String("v")];
    EXPECT_EQ(application, answer(R"({"call":"application","pid":4242})")[QLatin1String("v")]);
    EXPECT_EQ(server.elementsHeld(), 1U);
    answer(R"({"call":"front","drop":[1]})");
    EXPECT_EQ(server.elementsHeld(), 0U);
}

// Told to watch, the helper steps on its own and sends a reading only when it differs from the one it
// sent last; nothing of an application the user turned the watcher off in is read; a watch it cannot
// read is refused and one of no interval ends the steps.
TEST(RemoteAccessibilityTest, TheHelperSendsOnlyReadingsThatChanged)
{
    struct EditorIdentities final : selection::ApplicationIdentities {
        std::optional<selection::ApplicationIdentity> identify(selection::Pid pid) override
        {
            return selection::ApplicationIdentity{.id = QStringLiteral("editor-%1").arg(pid), .name = QString()};
        }
    };
    selection::FakeAccessibility fake;
    const auto focused = fake.addApplication(4242);
    fake.setFront(4242);
    focused->selectedText = QStringLiteral("one");
    focused->markerBounds = selection::AxRect{.x = 1, .y = 2, .width = 30, .height = 12};
    focused->role = QStringLiteral("AXTextArea");
    AccessibilityServer server(fake, std::make_shared<EditorIdentities>());
    const auto answer = [&server](const QByteArray& request) {
        return QJsonDocument::fromJson(server.answer(request)).object()[QLatin1String("v")];
    };
    const auto sent = [&server]() -> std::optional<QJsonObject> {
        const std::optional<QByteArray> event = server.step();
        return event ? std::optional(QJsonDocument::fromJson(*event).object()) : std::nullopt;
    };
    EXPECT_EQ(sent(), std::nullopt) << "no steps before a watch";
    for (const char* bad :
         {R"({"call":"watch","ms":"200","own":1,"off":[],"gen":1})",
          R"({"call":"watch","ms":200,"own":1,"off":[7],"gen":1})", R"({"call":"watch","ms":200,"off":[],"gen":1})"}) {
        EXPECT_EQ(answer(bad), QJsonValue(false)) << bad;
    }
    EXPECT_EQ(answer(R"({"call":"watch","ms":200,"own":1,"off":["editor-7"],"gen":5})"), QJsonValue(true));
    EXPECT_TRUE(server.takeWatchChange());
    EXPECT_EQ(server.watchEvery(), 200ms);
    const std::optional<QJsonObject> first = sent();
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)[QLatin1String("gen")], 5);
    EXPECT_EQ((*first)[QLatin1String("v")][QLatin1String("text")], QStringLiteral("one"));
    EXPECT_EQ(sent(), std::nullopt) << "an unchanged reading is not sent again";
    focused->selectedText = QStringLiteral("two");
    ASSERT_TRUE(sent());
    EXPECT_EQ(sent(), std::nullopt);

    answer(R"({"call":"watch","ms":200,"own":1,"off":["editor-4242"],"gen":6})");
    const int reads = focused->textReads;
    const std::optional<QJsonObject> off = sent();
    ASSERT_TRUE(off) << "a new watch sends its first reading";
    EXPECT_EQ((*off)[QLatin1String("v")][QLatin1String("outcome")], QStringLiteral("turnedOff"));
    EXPECT_EQ(focused->textReads, reads);

    answer(R"({"call":"watch","ms":0,"own":1,"off":[],"gen":7})");
    EXPECT_EQ(server.watchEvery(), 0ms);
    EXPECT_EQ(sent(), std::nullopt);
}

// A step's reading from the helper is taken only whole and well formed: a selection without its
// rectangle or element, or values of the wrong type are refused, not half trusted.
TEST(RemoteAccessibilityTest, AReadingThatIsNotOneIsRefused)
{
    const auto element = [](std::int64_t) { return std::make_shared<selection::FakeElement>(1); };
    const auto read = [&element](const char* json) {
        return accessibilityProtocol::readingFrom(QJsonDocument::fromJson(json).object(), element);
    };
    const char* selection =
        R"({"outcome":"selection","el":3,"secure":false,"tooLong":false,"misplaced":"no","rect":[1,2,3,4],"role":"AXTextArea","text":" hi "})";
    ASSERT_TRUE(read(selection));
    EXPECT_EQ(read(selection)->step.text, QStringLiteral("hi"));
    const auto turnedOff = read(R"({"outcome":"turnedOff","el":0,"secure":false,"tooLong":false,"misplaced":"no",)"
                                R"("pid":42,"application":["org.example.Editor.desktop","Editor"],"enhanced":true})");
    ASSERT_TRUE(turnedOff);
    EXPECT_TRUE(turnedOff->step.turnedOff && turnedOff->step.enhancedPass);
    EXPECT_EQ(turnedOff->step.pid, 42);
    EXPECT_EQ(turnedOff->step.application,
              (selection::ApplicationIdentity{.id = QStringLiteral("org.example.Editor.desktop"),
                                              .name = QStringLiteral("Editor")}));
    for (
        const char* bad : {
            R"({"outcome":"noFront","el":0,"secure":false,"tooLong":false,"misplaced":"no","pid":"7"})",
            R"({"outcome":"turnedOff","el":0,"secure":false,"tooLong":false,"misplaced":"no","application":["x"]})",
            R"({"outcome":"selection","el":3,"secure":false,"tooLong":false,"misplaced":"no","role":"AXTextArea"})",
            R"({"outcome":"selection","el":0,"secure":false,"tooLong":false,"misplaced":"no","rect":[1,2,3,4],"role":"x"})",
            R"({"outcome":"noSelection","el":-2,"secure":false,"tooLong":false,"misplaced":"no"})",
            R"({"outcome":"noSelection","el":3,"secure":"yes","tooLong":false,"misplaced":"no"})",
            R"({"outcome":"noSelection","el":3,"secure":false,"tooLong":false,"misplaced":"no","rect":[1,2]})",
            R"({"outcome":"noSelection","el":3,"secure":false,"tooLong":false,"misplaced":"no","text":7})",
        }) {
        EXPECT_FALSE(read(bad)) << bad;
    }
}

} // namespace
} // namespace parlomatic::platform
