// Shows the actions panel, or the translation panel with a translation, above a given selection
// rectangle, as the actions would place it, until it is ended; scripts/screenshots photographs it
// over a real editor.
//
//   panels_preview --type write|readonly|translate --theme light|dark --selection X,Y,W,H --ready FILE
//                  [--no-compositor]
//
// The rectangle is in screen pixels, origin top-left. FILE is created once the panel is on screen.

#include "fakes/FakeSession.h"
#include "panels/ActionsWindow.h"
#include "panels/TranslateState.h"
#include "panels/TranslateWindow.h"
#include "selection/ActionState.h"
#include "selection/PanelPlacement.h"
#include "service/Preferences.h"
#include "service/Translator.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QPalette>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <vector>

#include <cstdio>

#include "PreviewPalette.h"

using namespace parlomatic;

namespace {

// A text service that answers every translation with the same text, at once.
class CannedService final : public HttpClient {
public:
    HttpResult send(const HttpRequest&) override
    {
        return HttpResponse{.status = 200,
                            .headers = {},
                            .body =
                                R"({"data":{"translations":[{"translatedText":)"
                                R"("Os números dos escritórios regionais ainda precisam de uma segunda olhada."}]}})"};
    }
};

class ReadyOnPaint : public QObject {
public:
    explicit ReadyOnPaint(QString path) : m_path(std::move(path)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !m_done) {
            m_done = true;
            QTimer::singleShot(0, this, [this] {
                QFile ready(m_path);
                static_cast<void>(ready.open(QIODevice::WriteOnly));
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QString m_path;
    bool m_done = false;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);

    QCommandLineParser parser;
    parser.addOptions({{"type", "write or readonly", "type", "write"},
                       {"theme", "light or dark", "theme", "light"},
                       {"selection", "X,Y,W,H", "rect"},
                       {"ready", "created once shown", "file"},
                       {"no-compositor", "draw for a desktop without a compositor"}});
    parser.process(application);

    const QStringList numbers = parser.value(QStringLiteral("selection")).split(u',');
    if (numbers.size() != 4) {
        // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
        std::fprintf(stderr, "panels_preview: --selection X,Y,W,H is required\n");
        return 64;
    }
    const double ratio = application.primaryScreen()->devicePixelRatio();
    const double x = numbers[0].toDouble() / ratio;
    const double y = numbers[1].toDouble() / ratio;
    const double w = numbers[2].toDouble() / ratio;

    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(parser.value(QStringLiteral("theme")) == QLatin1String("dark")
                                 ? preview::darkPalette()
                                 : QApplication::style()->standardPalette());

    QTemporaryDir settings;
    service::Preferences preferences(settings.filePath(QStringLiteral("Parlomatic.conf")).toStdString());
    const QString type = parser.value(QStringLiteral("type"));
    selection::ActionState state;
    state.setType(type == QLatin1String("readonly") ? selection::ActionType::readonly : selection::ActionType::write);
    panels::ActionsWindow strip(state, preferences, QStringLiteral("app.parlomatic.Preview"));

    service::FakeSession session;
    service::FakeLanguageRecognizer recognizer;
    CannedService service;
    service::Translator translator(service, QStringLiteral("preview.invalid").toStdString());
    preferences.setString(service::primaryLanguageKey, "pt-BR");
    panels::TranslateState translateState(session, translator, recognizer, preferences);
    panels::TranslateWindow panel(translateState, QStringLiteral("app.parlomatic.Preview"));

    QWidget* window = &strip;
    const bool compositing = !parser.isSet(QStringLiteral("no-compositor"));
    if (type == QLatin1String("translate")) {
        panel.setCompositingActive(compositing);
        translateState.setInputText(QStringLiteral("still need a second look"));
        const QRect desktop = application.primaryScreen()->geometry();
        const std::optional<QRect> frame = selection::translatePanelFrame(
            selection::AxRect{.x = x, .y = y, .width = w, .height = 0}, panel.idealSize(),
            std::vector<selection::ScreenArea>{{.geometry = desktop, .workArea = desktop, .devicePixelRatio = 1.0}});
        if (!frame) {
            // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
            std::fprintf(stderr, "panels_preview: the selection lies on no screen\n");
            return 64;
        }
        panel.setFrame(*frame);
        panel.orderFront();
        window = &panel;
    } else {
        strip.setCompositingActive(compositing);
        const QSize size = strip.paddedSize();
        strip.setFrame(
            QRect(QPoint(static_cast<int>(x + w / 2 - size.width() / 2.0), static_cast<int>(y - size.height())), size));
        strip.orderFrontWithoutActivating();
    }

    // Ready once the window has been painted and that paint has reached the screen.
    // The translation panel: once it shows the translation, not "Loading...".
    ReadyOnPaint readyOnPaint(parser.value(QStringLiteral("ready")));
    if (window == &panel && translateState.targetText() == panels::TranslateState::loadingText) {
        QObject::connect(&translateState, &panels::TranslateState::targetTextChanged, &panel, [&] {
            panel.installEventFilter(&readyOnPaint);
            panel.update();
        });
    } else {
        window->installEventFilter(&readyOnPaint);
    }
    return QApplication::exec();
}
