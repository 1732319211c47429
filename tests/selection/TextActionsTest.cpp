#include "selection/TextActions.h"

#include "fakes/FakeAccessibility.h"
#include "fakes/FakeClock.h"
#include "fakes/FakeSession.h"
#include "fakes/RecordedNotices.h"
#include "selection/HeadlessActionsPanel.h"
#include "selection/KeyPaster.h"
#include "selection/WindowPaster.h"
#include "selection/WriteBack.h"
#include "service/Preferences.h"
#include "service/Translator.h"
#include "support/DebugLogCapture.h"
#include "support/LoopbackServiceFixture.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtCore/qtestsupport_core.h>

#include <algorithm>
#include <chrono>
#include <future>

namespace parlomatic::selection {
namespace {

using namespace std::chrono_literals;

constexpr Pid appPid = 4242;
constexpr Pid otherPid = 5151;
constexpr const char* userText = "Texto secreto do usuário";
constexpr const char* before = "what the user copied before";

// Records what the clipboard held at each paste (fetching it, as the application would); fails with
// `failure` when set. The user's clipboard, held by "another application", is `held`.
struct FakeKeyPaster final : KeyPaster {
    void pasteShortcut(Sent sent) override
    {
        if (!failure.empty()) {
            return sent(std::unexpected(failure));
        }
        pasted.append(fetch ? QGuiApplication::clipboard()->text() : QString());
        sent({});
    }
    std::optional<ClipboardFormats> copyClipboard(std::chrono::milliseconds, qsizetype) override { return held; }
    bool reachesFocusOf(Pid) override { return reaches; }
    QStringList pasted;
    std::string failure;
    bool reaches = true;
    bool fetch = true;
    std::optional<ClipboardFormats> held = ClipboardFormats{{QStringLiteral("text/plain"), before}};
};

struct FakeLease final : PasteLease {
    bool fetched() const override { return true; }
    void giveBack() override {}
};

// A compositor's paste: records what it was asked to paste or to leave on the clipboard.
struct FakeWindowPaster final : WindowPaster {
    bool canSendKeys() const override { return keys; }
    std::expected<std::unique_ptr<PasteLease>, PasteError> paste(const QString& text,
                                                                 std::optional<ClipboardFormats>) override
    {
        if (refuse) {
            return std::unexpected(PasteError{.kind = *refuse, .message = "the shell did not take the clipboard"});
        }
        pasted.append(text);
        return std::make_unique<FakeLease>();
    }
    void offer(const QString& text) override { offered.append(text); }
    bool keys = false;
    std::optional<PasteError::Kind> refuse;
    QStringList pasted;
    QStringList offered;
};

constexpr const char* improveBody = R"({"data":{"improvements":[{"improvedText":"Answer text"}]}})";

std::string translationBody(const std::string& text)
{
    return nlohmann::json{{"data", {{"translations", {{{"translatedText", text}}}}}}}.dump();
}

class TextActionsTest : public test::LoopbackServiceFixture {
protected:
    void SetUp() override
    {
        test::LoopbackServiceFixture::SetUp();
        focused = backend.addApplication(appPid);
        focused->selectedText = QStringLiteral(" ") + userText;
        backend.addApplication(otherPid);
        backend.setFront(appPid);
        QGuiApplication::clipboard()->setText(QString::fromLatin1(before));
        poller.stopPolling();
        selection = SelectionSnapshot{.trimmedText = userText,
                                      .selectedText = userText,
                                      .rect = {.x = 100, .y = 300, .width = 80, .height = 20},
                                      .element = focused};
        actions.setNotices(&notices);
    }
    void TearDown() override { QThreadPool::globalInstance()->waitForDone(); }

    // Runs an action and waits until it has restarted polling.
    template <typename Action> void runToEnd(Action action)
    {
        action();
        EXPECT_FALSE(poller.isPolling());
        EXPECT_TRUE(panel->closeCount > 0);
        ASSERT_TRUE(QTest::qWaitFor([this] { return poller.isPolling(); }, 10'000));
        poller.stopPolling();
        ASSERT_TRUE(QTest::qWaitFor([this] { return writeBack.pending() == 0; }, 10'000));
    }

    // Nothing written: no paste, and the user's clipboard as it was.
    void expectNothingWritten() const
    {
        EXPECT_TRUE(paster.pasted.isEmpty()) << paster.pasted.join(u'|').toStdString();
        EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromLatin1(before));
    }
    // Neither the selection, nor the answer, nor the token in any log line, the debug ones included.
    void expectNoSecretLogged(const std::string& answer) const
    {
        logs.expectNoLineContains({userText, answer, session.token});
        debugLogs.expectNoLineContains({userText, answer, session.token});
    }

    test::DebugLogCapture debugLogs;
    QTemporaryDir dir;
    service::Preferences preferences{dir.filePath(QStringLiteral("Parlomatic.conf")).toStdString()};
    FakeAccessibility backend;
    std::shared_ptr<FakeElement> focused;
    service::FakeSession session;
    service::FakeLanguageRecognizer recognizer;
    FakeKeyPaster paster;
    FakeClock clock{1'800'000'000.0};
    CurlHttpClient http{trustingOptions()};
    service::Translator translator{http, server.hostAndPort(), clock};
    WriteBack writeBack{backend, &paster};
    TextActions actions{session, translator, recognizer, preferences, writeBack};
    HeadlessActionsPanel* panel = nullptr;
    TextSelectionPoller poller{backend,
                               [this](TextSelectionPoller&) {
                                   auto made = std::make_unique<HeadlessActionsPanel>();
                                   panel = made.get();
                                   return made;
                               },
                               &clock};
    SelectionSnapshot selection;
    test::RecordedNotices notices;
};

// The older request's answer, arriving after the newer one was written, is dropped.
TEST_F(TextActionsTest, ReplaceWritesTheNewestTranslationOverTheSelectionFromTheRecognisedOrPrimaryLanguage)
{
    // The recogniser cannot tell or names a language we do not offer: the primary one, its stored code as it is.
    for (const auto& [tag, stored, expected] :
         {std::tuple<std::optional<std::string>, std::optional<std::string>, std::string>{std::nullopt, std::nullopt,
                                                                                          "en-US"},
          {"de", "es-MX", "es-MX"},
          {std::nullopt, "de-DE", "de-DE"}}) {
        recognizer.tag = tag;
        if (stored) {
            preferences.setString(service::primaryLanguageKey, *stored);
        }
        clock.advance(1);
        runToEnd([&] { actions.replace(poller, selection, service::Language::pt_BR); });
        EXPECT_EQ(bodyOf(requests().back()).value("source", ""), expected);
    }

    paster.pasted.clear();
    clearRequests();
    std::promise<void> releaseOlder;
    setReply([released = releaseOlder.get_future().share()](const auto& request, httplib::Response& response) {
        const std::string target = nlohmann::json::parse(request.body).value("target", "");
        if (target == "es-MX") {
            released.wait_for(10s);
        }
        response.set_content(translationBody(target + " answer"), "application/json");
    });
    recognizer.tag = "pt";
    session.gender = service::Gender::feminine;
    clock.advance(1);
    actions.replace(poller, selection, service::Language::es_MX);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !requests().empty(); }, 10'000));
    clock.advance(1);
    actions.replace(poller, selection, service::Language::en_US);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !paster.pasted.isEmpty(); }, 10'000));
    releaseOlder.set_value();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();

    EXPECT_EQ(paster.pasted, QStringList{QStringLiteral("en-US answer")});
    EXPECT_EQ(bodyOf(requests().back()),
              (nlohmann::json{{"q", userText}, {"target", "en-US"}, {"source", "pt-BR"}, {"gender", "feminine"}}));
    EXPECT_EQ(requests().back().header("Authorization"), "Bearer secret-token");
    EXPECT_EQ(poller.latestReplacement(), clock.now());
    EXPECT_EQ(session.refreshes, 5);
    expectNoSecretLogged("en-US answer");
    const auto told = [this](std::string_view area) {
        return std::ranges::any_of(debugLogs.lines(),
                                   [area](const std::string& line) { return line.starts_with(area); });
    };
    EXPECT_TRUE(told("parlomatic.writeback: ") && told("parlomatic.service: ")) << "the debug lines were looked at";

    // Where the element's text cannot be read back, the user's clipboard comes back after the fetch.
    EXPECT_TRUE(QTest::qWaitFor([] { return QGuiApplication::clipboard()->text() == QString::fromLatin1(before); }));
}

// Over a readable element the user's clipboard comes back once the answer shows where the selection
// was, never before (an application busy when the keys arrive reads the clipboard late); a paste that
// never shows leaves the answer on the clipboard and says so; one nobody fetched gives the clipboard back.
TEST_F(TextActionsTest, TheUsersClipboardComesBackOnlyOnceThePasteShows)
{
    const QString userClipboard = QString::fromLatin1(before);
    const auto improveOver = [&](const QString& around) {
        focused->text = around;
        const int at = int(around.indexOf(QString::fromUtf8(userText)));
        focused->mark = AccessibilityBackend::TextMark{
            .start = at, .end = at + int(QString::fromUtf8(userText).size()), .length = int(around.size())};
        focused->markReads = 0;
        setReply(200, improveBody);
        clock.advance(1);
        actions.improve(poller, selection);
        ASSERT_TRUE(QTest::qWaitFor([&] { return focused->markReads >= 4; }, 10'000));
    };
    const auto pasteShows = [&](const QString& answer) {
        QString after = focused->text;
        after.replace(focused->mark->start, focused->mark->end - focused->mark->start, answer);
        const int caret = focused->mark->start + int(answer.size());
        focused->text = after;
        focused->mark = AccessibilityBackend::TextMark{.start = caret, .end = caret, .length = int(after.size())};
    };

    improveOver(QStringLiteral("Before: ") + QString::fromUtf8(userText) + QStringLiteral(" and after."));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("Answer text")) << "given back before the paste";
    pasteShows(QStringLiteral("Answer\r\ntext"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return writeBack.pending() == 0; }, 10'000));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), userClipboard);
    EXPECT_TRUE(notices.told.isEmpty());

    writeBack.setConfirmWithin(std::chrono::milliseconds(600));
    for (const bool fetched : {true, false}) {
        paster.fetch = fetched;
        notices.told.clear();
        improveOver(QString::fromUtf8(userText));
        ASSERT_TRUE(QTest::qWaitFor([&] { return writeBack.pending() == 0; }, 10'000));
        EXPECT_EQ(QGuiApplication::clipboard()->text(), fetched ? QStringLiteral("Answer text") : userClipboard);
        EXPECT_EQ(notices.told, QStringList{QString::fromLatin1(
                                    (fetched ? TextActions::unconfirmed : TextActions::notTaken).message)});
        QGuiApplication::clipboard()->setText(userClipboard);
    }
}

// A clipboard owner that did not answer leaves the first answer on the clipboard: that is then the
// user's clipboard, which the next paste keeps and gives back without blaming any owner.
TEST_F(TextActionsTest, AnAnswerLeftOnTheClipboardIsKeptByTheNextPaste)
{
    const std::string unanswered = "did not answer in time";
    paster.held.reset();
    for (const char* answer : {"first answer", "second answer"}) {
        setReply(200, translationBody(answer));
        clock.advance(1);
        runToEnd([&] { actions.replace(poller, selection, service::Language::pt_BR); });
    }
    EXPECT_EQ(paster.pasted, (QStringList{QStringLiteral("first answer"), QStringLiteral("second answer")}));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("first answer"));
    EXPECT_EQ(std::ranges::count_if(logs.lines(), [&](const std::string& line) { return line.contains(unanswered); }),
              1);
}

struct NothingWritten {
    const char* name;
    bool improve;
    int status;
    std::string body;
    // What happens between the press and the answer.
    std::function<void(FakeAccessibility&, FakeKeyPaster&)> meanwhile;
    // A line that must be logged, or "" for none.
    std::string logged;
    // What the user is told, or nothing.
    const char* told = nullptr;
};

class NothingWrittenTest : public TextActionsTest, public ::testing::WithParamInterface<NothingWritten> {};

TEST_P(NothingWrittenTest, LeavesTheApplicationAndTheClipboardAlone)
{
    const NothingWritten& c = GetParam();
    setReply(c.status, c.body);
    clock.advance(1);
    runToEnd([&] {
        c.improve ? actions.improve(poller, selection) : actions.replace(poller, selection, service::Language::es_MX);
        c.meanwhile(backend, paster);
    });
    if (c.logged.empty() || paster.failure.empty()) {
        expectNothingWritten();
    }
    if (!c.logged.empty()) {
        EXPECT_TRUE(logs.contains(c.logged));
    }
    expectNoSecretLogged("Answer text");
    EXPECT_EQ(notices.told, c.told ? QStringList{QString::fromLatin1(c.told)} : QStringList());
}

const auto nothing = [](FakeAccessibility&, FakeKeyPaster&) {};

INSTANTIATE_TEST_SUITE_P(
    Cases, NothingWrittenTest,
    ::testing::Values(NothingWritten{"placeholder", false, 200, R"({"data":{"translations":[]}})", nothing,
                                     "no translation", TextActions::noTranslation.message},
                      NothingWritten{"emptyImprovement", true, 200, R"({"data":{"improvements":[]}})", nothing,
                                     "empty improvement", TextActions::nothingToImprove.message},
                      NothingWritten{"elementGone", true, 200, improveBody,
                                     [](FakeAccessibility& backend, FakeKeyPaster&) {
                                         const Element application = backend.applicationElement(appPid);
                                         static_cast<FakeElement&>(*backend.focusedElement(application)).gone = true;
                                     },
                                     "element is gone", TextActions::fieldGone.message},
                      NothingWritten{"serviceFailure", false, 500, "", nothing, "status 500",
                                     TextActions::serviceRefused.message},
                      NothingWritten{"otherApplicationInFront", false, 200, translationBody("Answer text"),
                                     [](FakeAccessibility& backend, FakeKeyPaster&) { backend.setFront(otherPid); },
                                     "application in front changed", TextActions::selectionMovedOn.message},
                      NothingWritten{"focusMovedInTheApplication", true, 200, improveBody,
                                     [](FakeAccessibility& backend, FakeKeyPaster&) {
                                         backend.setFocused(appPid, std::make_shared<FakeElement>(appPid));
                                     },
                                     "focus moved", TextActions::selectionMovedOn.message},
                      NothingWritten{"selectionChanged", false, 200, translationBody("Answer text"),
                                     [](FakeAccessibility& backend, FakeKeyPaster&) {
                                         const Element application = backend.applicationElement(appPid);
                                         static_cast<FakeElement&>(*backend.focusedElement(application)).selectedText =
                                             "other";
                                     },
                                     "selection changed", TextActions::selectionMovedOn.message},
                      NothingWritten{"applicationDidNotAnswer", true, 200, improveBody,
                                     [](FakeAccessibility& backend, FakeKeyPaster&) {
                                         backend.setFocused(appPid, nullptr);
                                         backend.silent.insert(appPid);
                                     },
                                     "application did not answer", TextActions::applicationSilent.message},
                      NothingWritten{"keysNotSent", true, 200, improveBody,
                                     [](FakeAccessibility&, FakeKeyPaster& paster) { paster.failure = "BadValue"; },
                                     "Could not send the paste keys: BadValue", TextActions::writeFailed.message}),
    [](const auto& param) { return std::string(param.param.name); });

// Pressing again and again while the service is down: the same message once per 30 s; another
// message shows at once, and one that asks the user to act always does.
TEST(ThrottledNoticesTest, EachMessageOnceEveryThirtySecondsButCallsToActAlways)
{
    test::RecordedNotices shown;
    FakeClock clock;
    ThrottledNotices notices(shown, clock);
    const QString paste = QString::fromLatin1(TextActions::pasteYourself.message);
    notices.tell(NoticeCause::service, QStringLiteral("down"));
    clock.advance(29);
    notices.tell(NoticeCause::service, QStringLiteral("down"));
    notices.tell(NoticeCause::write, QStringLiteral("changed"));
    notices.tell(NoticeCause::write, QStringLiteral("gone"));
    notices.tell(TextActions::pasteYourself.cause, paste);
    notices.tell(TextActions::pasteYourself.cause, paste);
    EXPECT_EQ(shown.told,
              (QStringList{QStringLiteral("down"), QStringLiteral("changed"), QStringLiteral("gone"), paste, paste}));
    clock.advance(1);
    notices.tell(NoticeCause::service, QStringLiteral("down"));
    EXPECT_EQ(shown.told.size(), 6);
}

// A native Wayland window: the compositor pastes where it lets us, else the element is written after
// the same checks, else the text waits on the clipboard and the user is told so.
TEST_F(TextActionsTest, WhereOurKeysDoNotReachTheElementItselfIsWrittenWhereItLetsItself)
{
    paster.reaches = false;
    setReply(200, improveBody);
    focused->editable = true;
    runToEnd([&] { actions.improve(poller, selection); });
    EXPECT_EQ(bodyOf(requests().front()), (nlohmann::json{{"q", userText}}));
    EXPECT_EQ(focused->written, QStringLiteral("Answer text"));
    expectNothingWritten();

    focused->written.reset();
    focused->selectedText = QStringLiteral("something else");
    runToEnd([&] { actions.improve(poller, selection); });
    EXPECT_FALSE(focused->written) << "the selection changed";

    focused->selectedText = userText;
    focused->editable = false;
    runToEnd([&] { actions.improve(poller, selection); });
    EXPECT_FALSE(focused->written);
    EXPECT_TRUE(logs.contains("does not let its text be written"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("Answer text"));
    EXPECT_EQ(notices.told.last(), QString::fromLatin1(TextActions::pasteYourself.message));

    FakeWindowPaster compositor;
    WriteBack throughCompositor(backend, &paster, &compositor);
    TextActions compositorActions(session, translator, recognizer, preferences, throughCompositor);
    compositorActions.setNotices(&notices);
    runToEnd([&] { compositorActions.improve(poller, selection); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return throughCompositor.pending() == 0; }, 10'000));
    EXPECT_EQ(compositor.offered, QStringList{QStringLiteral("Answer text")}) << "its clipboard, without keys";
    compositor.keys = true;
    notices.told.clear();
    focused->editable = true;
    runToEnd([&] { compositorActions.improve(poller, selection); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return throughCompositor.pending() == 0; }, 10'000));
    EXPECT_EQ(compositor.pasted, QStringList{QStringLiteral("Answer text")}) << "before the element: a clean undo";
    EXPECT_FALSE(focused->written);
    EXPECT_TRUE(notices.told.isEmpty());
    EXPECT_TRUE(paster.pasted.isEmpty()) << "our own keys reach no native window";
    // A paste that could not be sent leaves the text for the user to paste, and says so; where the
    // clipboard itself is out of reach, it cannot hold the text, and the user is not sent to it.
    compositor.refuse = PasteError::Kind::noKeys;
    compositor.offered.clear();
    runToEnd([&] { compositorActions.improve(poller, selection); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return throughCompositor.pending() == 0; }, 10'000));
    EXPECT_EQ(compositor.offered, QStringList{QStringLiteral("Answer text")});
    EXPECT_EQ(notices.told.last(), QString::fromLatin1(TextActions::pasteYourself.message));
    compositor.refuse = PasteError::Kind::noClipboard;
    compositor.offered.clear();
    runToEnd([&] { compositorActions.improve(poller, selection); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return throughCompositor.pending() == 0; }, 10'000));
    EXPECT_TRUE(compositor.offered.isEmpty());
    EXPECT_EQ(notices.told.last(), QString::fromLatin1(TextActions::writeFailed.message));
}

} // namespace
} // namespace parlomatic::selection
