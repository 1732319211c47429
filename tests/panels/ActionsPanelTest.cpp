#include "panels/ActionButton.h"
#include "panels/ActionsView.h"
#include "panels/ActionsWindow.h"
#include "panels/AppButton.h"
#include "panels/CloseButton.h"
#include "panels/LanguageMenu.h"
#include "panels/LanguageMenuView.h"
#include "panels/MenuButton.h"
#include "panels/ReplaceButton.h"
#include "selection/ActionState.h"
#include "service/Preferences.h"

#include <QAccessible>
#include <QFile>
#include <QLayout>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

using namespace parlomatic;

namespace {

// A divider or the logo by its class, a button by its title: "AppButton", "ButtonDivider", "Translate", ...
QStringList describe(const QList<QWidget*>& items)
{
    QStringList names;
    for (QWidget* item : items) {
        const auto* button = qobject_cast<QAbstractButton*>(item);
        names.append(button != nullptr && !button->text().isEmpty()
                         ? button->text()
                         : QString::fromLatin1(item->metaObject()->className()).section(u':', -1));
    }
    return names;
}

panels::ActionButton* titled(const QWidget& root, const QString& title)
{
    const QList<panels::ActionButton*> buttons = root.findChildren<panels::ActionButton*>();
    const auto found = std::ranges::find(buttons, title, &panels::ActionButton::text);
    return found == buttons.end() ? nullptr : *found;
}

class LayoutRequestCounter : public QObject {
public:
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        count += event->type() == QEvent::LayoutRequest ? 1 : 0;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

class ActionsPanelTest : public QObject {
    Q_OBJECT

    std::string settingsPath() const { return m_dir.filePath(QStringLiteral("Parlomatic.conf")).toStdString(); }

    // The panel on screen, or nothing when it never got there.
    std::unique_ptr<panels::ActionsWindow> openWindow()
    {
        auto window =
            std::make_unique<panels::ActionsWindow>(*m_state, *m_preferences, QStringLiteral("app.parlomatic.Test"));
        window->orderFrontWithoutActivating();
        return QTest::qWaitForWindowExposed(window.get()) ? std::move(window) : nullptr;
    }

    QTemporaryDir m_dir;
    std::optional<service::Preferences> m_preferences;
    std::optional<selection::ActionState> m_state;
    std::vector<QString> m_calls;

private slots:
    // Every case starts with nothing stored and with callbacks that record their calls.
    void init()
    {
        m_preferences.reset();
        QFile::remove(QString::fromStdString(settingsPath()));
        m_preferences.emplace(settingsPath());
        m_state.emplace();
        m_calls.clear();
        auto record = [this](const QString& call) { return [this, call] { m_calls.push_back(call); }; };
        m_state->setActionTranslate(record(QStringLiteral("translate")));
        m_state->setActionImprove(record(QStringLiteral("improve")));
        m_state->setActionClose(record(QStringLiteral("close")));
        m_state->setActionReplace([this](service::Language language) {
            m_calls.emplace_back(QStringLiteral("replace ") + QString::fromUtf8(code(language)));
        });
    }

    // The poller writes the type on every step: only a change lays the row out again, with the same
    // controls. Made with the short row, the panel keeps one size with room for either, centred.
    void rowFollowsTheTypeLiveAndOnlyOnAChangeAndThePanelIsClearAroundIt()
    {
        const QStringList shortRow{"AppButton", "ButtonDivider", "Translate"};
        const QStringList fullRow = shortRow + QStringList{"ButtonDivider", "Replace", "ButtonDivider", "Improve"};
        m_state->setType(selection::ActionType::readonly);
        const auto window = openWindow();
        QVERIFY(window);
        panels::ActionsView& view = *window->view();
        const QList<QWidget*> firstRow = view.stripItems();
        const QSize panelSize = window->size();
        for (const selection::ActionType type : {selection::ActionType::write, selection::ActionType::readonly}) {
            m_state->setType(type);
            window->layout()->activate();
            const QList<QWidget*> items = view.stripItems();
            QCOMPARE(describe(items), type == selection::ActionType::write ? fullRow : shortRow);
            for (qsizetype i = 1; i < items.size(); ++i) {
                QCOMPARE(items[i]->geometry().left(), items[i - 1]->geometry().right() + 1);
            }
            QCOMPARE(items.last()->geometry().right(), view.strip()->width() - 1);
            QCOMPARE(view.closeButton()->geometry().left(), view.strip()->geometry().right() + 1 + 4);
            QCOMPARE(window->size(), panelSize);
            QVERIFY(qAbs(2 * view.x() + view.width() - window->width()) <= 1);
            QVERIFY(qAbs(2 * view.y() + view.height() - window->height()) <= 1);
        }
        QCOMPARE(view.stripItems(), firstRow);

        LayoutRequestCounter counter;
        for (QWidget* widget : {static_cast<QWidget*>(window.get()), static_cast<QWidget*>(&view), view.strip()}) {
            widget->installEventFilter(&counter);
        }
        // A layout request may set off another, a few deep.
        for (int round = 0; round < 10; ++round) {
            QCoreApplication::sendPostedEvents();
        }
        counter.count = 0;
        for (int step = 0; step < 5; ++step) {
            m_state->setType(selection::ActionType::readonly);
            QCoreApplication::sendPostedEvents();
        }
        QCOMPARE(counter.count, 0);
        m_state->setType(selection::ActionType::write);
        QCoreApplication::sendPostedEvents();
        QVERIFY(counter.count > 0);

        // The panel is clear around its controls; without a compositor it is cut to them, and the cut follows the row.
        const QRect strip(view.strip()->mapTo(window.get(), QPoint(0, 0)), view.strip()->size());
        const QImage image = window->grab().toImage();
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
        QVERIFY(image.pixelColor(strip.topLeft()).alpha() < 255);
        QCOMPARE(image.pixelColor(strip.center().x(), strip.top() + 1).alpha(), 255);
        QVERIFY(window->mask().isEmpty());

        window->setCompositingActive(false);
        auto centreOf = [&](const QWidget* widget) { return widget->mapTo(window.get(), widget->rect().center()); };
        const QPoint improve = centreOf(titled(*window, QStringLiteral("Improve")));
        QVERIFY(window->mask().contains(improve)); // the controls' clicks: WriteBackDesktopTest, without a compositor
        QVERIFY(!window->mask().contains(QPoint(0, 0)));
        QVERIFY(!window->mask().contains(
            view.closeButton()->mapTo(window.get(), QPoint(-2, view.closeButton()->height() / 2))));
        m_state->setType(selection::ActionType::readonly);
        window->layout()->activate();
        QVERIFY(!window->mask().contains(improve));
        QVERIFY(window->mask().contains(centreOf(view.closeButton())));
    }

    // The logo translates too; the newest callbacks are reached (WriteBackDesktopTest, a selection each).
    // Hidden over read-only text, Replace and Improve stay in the accessibility tree but do nothing.
    void everyShownControlRunsItsCallback()
    {
        const auto window = openWindow();
        QVERIFY(window);
        const QList<QAbstractButton*> buttons{
            window->findChild<panels::AppButton*>(), titled(*window, QStringLiteral("Translate")),
            titled(*window, QStringLiteral("Improve")), window->view()->closeButton()};
        for (QAbstractButton* button : buttons) {
            QTest::mouseClick(button, Qt::LeftButton);
        }
        QCOMPARE(m_calls, (std::vector<QString>{"translate", "translate", "improve", "close"}));

        m_calls.clear();
        m_state->setType(selection::ActionType::readonly);
        const std::vector<QWidget*> hidden{window->findChild<panels::ReplaceButton*>(), buttons[2], buttons[1]};
        for (QWidget* widget : hidden) {
            QAccessibleInterface* button = QAccessible::queryAccessibleInterface(widget);
            QVERIFY(button && button->actionInterface());
            button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        }
        // A press through the accessibility interface clicks after a short animation.
        QTRY_COMPARE(m_calls, std::vector<QString>{QStringLiteral("translate")});
        QTest::qWait(100);
        QCOMPARE(m_calls, std::vector<QString>{QStringLiteral("translate")});
    }

    // Starts with the language stored by an earlier run; "EN", "PT" and "ES" differ in width.
    void replaceUsesTheStoredLanguageAndFitsThePickerAfterEveryChoice()
    {
        m_preferences->setReplaceOutputLanguage(service::Language::pt_BR);
        const auto window = openWindow();
        QVERIFY(window);
        auto* replace = window->findChild<panels::ReplaceButton*>();
        panels::LanguageMenu* picker = replace->languageMenu();
        QCOMPARE(picker->controller()->menuButton()->text(), QStringLiteral("PT"));
        QTest::mouseClick(replace, Qt::LeftButton, {}, QPoint(1, replace->height() / 2));
        QCOMPARE(m_calls, std::vector<QString>{"replace pt-BR"});
        QMap<service::Language, int> widths;
        for (const service::Language language :
             {service::Language::en_US, service::Language::pt_BR, service::Language::es_MX, service::Language::en_US}) {
            replace->setSelectedLanguage(language);
            QTRY_COMPARE(picker->size(), picker->controller()->menuButton()->sizeHint());
            QTRY_COMPARE(replace->size(), replace->sizeHint());
            QTRY_COMPARE(picker->geometry().right(), replace->width() - 1 - 5);
            QTRY_COMPARE(window->view()->strip()->size(), window->view()->strip()->sizeHint());
            widths.insert(language, picker->width());
        }
        // Otherwise this case proves nothing with the fonts at hand.
        QVERIFY(widths.value(service::Language::en_US) != widths.value(service::Language::pt_BR));
    }

    // The first cycle ends by QWidget::close (the window manager's), and the panel still shows again.
    void oneWindowIsReusedAndOpenExactlyBetweenShowAndClose()
    {
        panels::ActionsWindow window(*m_state, *m_preferences, QStringLiteral("app.parlomatic.Test"));
        for (int cycle = 0; cycle < 2; ++cycle) {
            const QRect frame(QPoint(100 + 10 * cycle, 300), window.paddedSize());
            window.setFrame(frame);
            QVERIFY(!window.isOpen());
            window.orderFrontWithoutActivating();
            QVERIFY(window.isOpen());
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QCOMPARE(window.geometry(), frame);
            if (cycle == 0) {
                QVERIFY(static_cast<QWidget&>(window).close());
            } else {
                window.close();
            }
            QVERIFY(!window.isOpen());
            QVERIFY(!window.isVisible());
        }
    }
};

QTEST_MAIN(ActionsPanelTest)
#include "ActionsPanelTest.moc"
