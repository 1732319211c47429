#include "panels/TranslateWindow.h"

#include "fakes/FakeSession.h"
#include "panels/TranslateState.h"
#include "panels/TranslateView.h"
#include "service/Preferences.h"
#include "service/Translator.h"
#include "support/LoopbackServiceFixture.h"

#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QToolButton>

#include <chrono>
#include <future>

namespace parlomatic::panels {
namespace {

using namespace std::chrono_literals;

constexpr const char* userText = "Texto secreto do usuário";

// Answers "<q> in <target>", so the test can tell which request an answer belongs to.
void echoTranslation(const httplib::Request& request, httplib::Response& response)
{
    const nlohmann::json body = nlohmann::json::parse(request.body);
    const std::string text = body.value("q", "") + " in " + body.value("target", "");
    response.set_content(nlohmann::json{{"data", {{"translations", {{{"translatedText", text}}}}}}}.dump(),
                         "application/json");
}

class TranslatePanelTest : public test::LoopbackServiceFixture {
protected:
    void SetUp() override
    {
        test::LoopbackServiceFixture::SetUp();
        setReply(echoTranslation);
        preferences.setString(service::primaryLanguageKey, "es-MX");
        m_state = std::make_unique<TranslateState>(session, translator, recognizer, preferences);
        window = std::make_unique<TranslateWindow>(*m_state, QStringLiteral("app.parlomatic.Test"));
    }
    void TearDown() override { QThreadPool::globalInstance()->waitForDone(); }

    TranslateView& view() { return *window->view(); }
    QString shown() { return view().textLabel()->text(); }
    // Shows the text and waits (at most 10 s) until it is no longer "Loading...".
    bool waitForAnswer()
    {
        return QTest::qWaitFor([this] { return shown() != TranslateState::loadingText; }, 10000);
    }
    void choose(service::Language language)
    {
        view().languageMenu()->actions().at(static_cast<int>(rawValue(language)))->trigger();
    }

    QTemporaryDir dir;
    service::Preferences preferences{dir.filePath(QStringLiteral("Parlomatic.conf")).toStdString()};
    service::FakeSession session;
    service::FakeLanguageRecognizer recognizer;
    CurlHttpClient http{trustingOptions()};
    service::Translator translator{http, server.hostAndPort()};
    std::unique_ptr<TranslateState> m_state;
    std::unique_ptr<TranslateWindow> window;
};

// The primary language first, its answer held back until after the newer request's: the newer one is
// shown, in the language of the menu. The checked language again, or no text, starts nothing. When no
// answer can come (a failure, or no token: then nothing is sent) the panel says so.
TEST_F(TranslatePanelTest, TranslatesIntoTheLanguageOfTheMenuTheNewestRequestWinsAndFailuresAreSaid)
{
    std::promise<void> releaseOlder;
    setReply([released = releaseOlder.get_future().share()](const auto& request, httplib::Response& response) {
        if (nlohmann::json::parse(request.body).value("target", "") == "es-MX") {
            released.wait_for(10s);
        }
        echoTranslation(request, response);
    });
    recognizer.tag = "pt";
    session.gender = service::Gender::masculine;
    window->setInputText(userText);
    EXPECT_EQ(shown(), TranslateState::loadingText);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !requests().empty(); }, 10000));
    EXPECT_EQ(bodyOf(requests().front()),
              (nlohmann::json{{"q", userText}, {"target", "es-MX"}, {"source", "pt"}, {"gender", "masculine"}}));

    choose(service::Language::pt_BR);
    EXPECT_EQ(shown(), TranslateState::loadingText);
    ASSERT_TRUE(waitForAnswer());
    releaseOlder.set_value();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_EQ(shown(), userText + QStringLiteral(" in pt-BR"));
    EXPECT_EQ(preferences.stringForKey(service::translateTargetLanguageKey), "pt-BR");
    EXPECT_EQ(preferences.primaryLanguageCode(), "es-MX") << "the next start's target stays";
    EXPECT_EQ(view().languageButton()->text(), QStringLiteral("Portuguese (Brazil)"));
    const QList<QAction*> items = view().languageMenu()->actions();
    EXPECT_EQ((QList<bool>{items[0]->isChecked(), items[1]->isChecked(), items[2]->isChecked()}),
              (QList<bool>{false, true, false}));

    choose(service::Language::pt_BR);
    window->setInputText(std::nullopt);
    EXPECT_EQ(shown(), userText + QStringLiteral(" in pt-BR"));
    EXPECT_EQ(requests().size(), 2u);
    logs.expectNoLineContains({userText, session.token, "in pt-BR"});

    setReply(500, "");
    window->setInputText(userText);
    ASSERT_TRUE(waitForAnswer());
    EXPECT_EQ(shown(), TranslateState::failedText);
    session.token.clear();
    choose(service::Language::en_US);
    ASSERT_TRUE(waitForAnswer());
    EXPECT_EQ(shown(), TranslateState::failedText);
    EXPECT_EQ(requests().size(), 3u);
}

// Without a compositor the window is cut to the view's rectangle, leaving nothing to blend.
TEST_F(TranslatePanelTest, ClearAroundTheViewAndItsShadow)
{
    window->setFrame(QRect(100, 100, 280, 80));
    window->orderFront();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    EXPECT_EQ(view().geometry().translated(window->pos()), QRect(100, 100, 280, 80)) << "the view where it is placed";
    window->resize(450, 200);
    EXPECT_EQ(view().size(), QSize(450 - 2 * 12, 200 - 2 * 12 - 3)) << "the view follows the window";
    window->resize(800, 500);
    const QRect shape = view().geometry();
    ASSERT_EQ(shape, QRect(QPoint(140, 118), QSize(520, 260))) << "at most 520 by 260, centred";
    const QImage image = window->grab().toImage();
    const auto alpha = [&image](QPoint at) { return qAlpha(image.pixel(at)); };
    EXPECT_EQ(alpha({2, 2}), 0) << "the band around the view is clear";
    EXPECT_EQ(alpha(shape.center()), 255);
    EXPECT_EQ(alpha({shape.center().x(), shape.bottom() + 20}), 0) << "the shadow fades out";
    const int shadow = alpha(QPoint(shape.center().x(), shape.bottom() + 3));
    EXPECT_GT(shadow, 0) << "a shadow below the view";
    EXPECT_LT(shadow, 255);
    EXPECT_LT(alpha(shape.topLeft()), 255) << "a rounded corner";

    window->setCompositingActive(false);
    EXPECT_EQ(window->mask(), QRegion(view().geometry()));
    window->setFrame(QRect(100, 100, 280, 80));
    EXPECT_EQ(window->geometry(), QRect(100, 100, 280, 80)) << "no margin for a shadow";
    EXPECT_EQ(window->mask(), QRegion(window->rect()));
}

} // namespace
} // namespace parlomatic::panels
