#include "panels/ActionButton.h"
#include "panels/ActionsView.h"
#include "panels/ActionsWindow.h"
#include "panels/AppButton.h"
#include "panels/ButtonDivider.h"
#include "panels/CloseButton.h"
#include "panels/LanguageMenu.h"
#include "panels/LanguageMenuView.h"
#include "panels/MenuButton.h"
#include "panels/ReplaceButton.h"
#include "panels/SemanticColors.h"
#include "selection/ActionState.h"
#include "service/Preferences.h"

#include <QAction>
#include <QLayout>
#include <QMap>
#include <QMenu>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

using namespace parlomatic;

Q_DECLARE_METATYPE(parlomatic::ActionType)

namespace {

// "AppButton", "ButtonDivider", "Translate", ...: a divider or the logo by its class, a button by its title.
QStringList describe(const QList<QWidget*>& items)
{
    QStringList names;
    for (QWidget* item : items) {
        if (auto* button = qobject_cast<QAbstractButton*>(item); button != nullptr && !button->text().isEmpty()) {
            names.append(button->text());
        } else {
            names.append(QString::fromLatin1(item->metaObject()->className()).section(u':', -1));
        }
    }
    return names;
}

template <typename T> T* find(QWidget& root, const QString& title = {})
{
    for (T* widget : root.findChildren<T*>()) {
        if (title.isEmpty() || widget->text() == title) {
            return widget;
        }
    }
    return nullptr;
}

// Counts the layout requests that reach the watched widgets.
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

QPalette darkPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    palette.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    return palette;
}

} // namespace

class ActionsPanelTest : public QObject {
    Q_OBJECT

private:
    std::string settingsPath() const { return m_dir->filePath(QStringLiteral("Parlomatic.conf")).toStdString(); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Preferences> m_preferences;
    std::unique_ptr<ActionState> m_state;
    std::vector<QString> m_calls;

    void recordCallbacks()
    {
        m_state->setActionTranslate([this] { m_calls.emplace_back(QStringLiteral("translate")); });
        m_state->setActionReplace([this](Language language) {
            m_calls.emplace_back(QStringLiteral("replace ") + QString::fromUtf8(code(language)));
        });
        m_state->setActionImprove([this] { m_calls.emplace_back(QStringLiteral("improve")); });
        m_state->setActionClose([this] { m_calls.emplace_back(QStringLiteral("close")); });
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_preferences = std::make_unique<Preferences>(settingsPath());
        m_state = std::make_unique<ActionState>();
        m_calls.clear();
        recordCallbacks();
    }

    void cleanup()
    {
        m_state.reset();
        m_preferences.reset();
        m_dir.reset();
    }

    void rowFollowsTheTypeLive()
    {
        const QStringList shortRow{"AppButton", "ButtonDivider", "Translate"};
        const QStringList fullRow{"AppButton", "ButtonDivider", "Translate", "ButtonDivider",
                                  "Replace",   "ButtonDivider", "Improve"};
        ActionsWindow window(*m_state, *m_preferences, QStringLiteral("app.parlomatic.Test"));
        window.orderFrontWithoutActivating();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ActionsView& view = *window.view();
        for (const ActionType type : {ActionType::write, ActionType::readonly, ActionType::write}) {
            m_state->setType(type);
            window.layout()->activate();
            const QList<QWidget*> items = view.stripItems();
            QCOMPARE(describe(items), type == ActionType::write ? fullRow : shortRow);
            for (qsizetype i = 1; i < items.size(); ++i) {
                QCOMPARE(items[i]->geometry().left(), items[i - 1]->geometry().right() + 1);
            }
            QCOMPARE(items.last()->geometry().right(), view.strip()->width() - 1);
            // The close button stands 4 pixels right of the strip.
            QCOMPARE(view.closeButton()->geometry().left(), view.strip()->geometry().right() + 1 + 4);
            for (QWidget* item : items) {
                QCOMPARE(item->focusPolicy(), Qt::NoFocus);
            }
        }
    }

    // The poller writes the type on every step: an unchanged type must leave the row as it is, and
    // a change must show or hide the same controls rather than build new ones.
    void rewritingTheSameTypeLeavesTheRowAlone()
    {
        ActionsWindow window(*m_state, *m_preferences, QStringLiteral("app.parlomatic.Test"));
        window.orderFrontWithoutActivating();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ActionsView& view = *window.view();
        const QList<QWidget*> fullRow = view.stripItems();
        LayoutRequestCounter counter;
        for (QWidget* widget : {static_cast<QWidget*>(&window), static_cast<QWidget*>(&view), view.strip()}) {
            widget->installEventFilter(&counter);
        }
        // Let the panel settle after showing: a layout request may set off another, a few deep.
        for (int round = 0; round < 10; ++round) {
            QCoreApplication::sendPostedEvents();
        }
        counter.count = 0;

        for (int step = 0; step < 5; ++step) {
            m_state->setType(ActionType::write);
            QCoreApplication::sendPostedEvents();
        }
        QCOMPARE(counter.count, 0);

        m_state->setType(ActionType::readonly);
        QCoreApplication::sendPostedEvents();
        QVERIFY(counter.count > 0);
        m_state->setType(ActionType::write);
        QCOMPARE(view.stripItems(), fullRow);
        // Logo, Translate, Replace, its picker's button, Improve and the close button.
        QCOMPARE(view.findChildren<QAbstractButton*>().size(), 6);
        QCOMPARE(view.findChildren<ButtonDivider*>().size(), 3);
        window.close();
    }

    void everyControlRunsItsCallback()
    {
        ActionsView view(*m_state, *m_preferences);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTest::mouseClick(find<AppButton>(view), Qt::LeftButton);
        QTest::mouseClick(find<ActionButton>(view, QStringLiteral("Translate")), Qt::LeftButton);
        QTest::mouseClick(find<ActionButton>(view, QStringLiteral("Improve")), Qt::LeftButton);
        QTest::mouseClick(view.closeButton(), Qt::LeftButton);
        QCOMPARE(m_calls, (std::vector<QString>{"translate", "translate", "improve", "close"}));
    }

    // The poller installs fresh callbacks for every selection; a press must reach the newest.
    void pressRunsTheCallbackInstalledAtThatMoment()
    {
        ActionsView view(*m_state, *m_preferences);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        int newer = 0;
        m_state->setActionTranslate([&] { ++newer; });
        QTest::mouseClick(find<AppButton>(view), Qt::LeftButton);
        QTest::mouseClick(find<ActionButton>(view, QStringLiteral("Translate")), Qt::LeftButton);
        QCOMPARE(newer, 2);
        QVERIFY(m_calls.empty());
    }

    void replaceStoresTheChosenLanguageAndRunsAtOnce()
    {
        {
            ActionsView view(*m_state, *m_preferences);
            view.show();
            QVERIFY(QTest::qWaitForWindowExposed(&view));
            auto* replace = find<ReplaceButton>(view);
            LanguageMenuView& picker = *replace->languageMenu()->controller();
            // Nothing stored: English (US), on display and in use.
            QCOMPARE(picker.menuButton()->text(), QStringLiteral("EN"));
            QTest::mouseClick(replace, Qt::LeftButton, {}, replace->titleRect().center().toPoint());
            QCOMPARE(m_calls, (std::vector<QString>{"replace en-US"}));

            picker.openMenu()->actions().at(1)->trigger();
            QCOMPARE(m_calls, (std::vector<QString>{"replace en-US", "replace pt-BR"}));
            QCOMPARE(picker.menuButton()->text(), QStringLiteral("PT"));
            QVERIFY(picker.openMenu()->actions().at(1)->isChecked());

            QTest::mouseClick(replace, Qt::LeftButton, {}, replace->arrowRect().center().toPoint());
            QCOMPARE(m_calls.back(), QStringLiteral("replace pt-BR"));
        }
        m_calls.clear();
        // A restart reads the choice back from the same settings file.
        Preferences restarted(settingsPath());
        ActionsView view(*m_state, restarted);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto* replace = find<ReplaceButton>(view);
        QCOMPARE(replace->selectedLanguage(), Language::pt_BR);
        QCOMPARE(replace->languageMenu()->controller()->menuButton()->text(), QStringLiteral("PT"));
        QTest::mouseClick(replace, Qt::LeftButton, {}, QPoint(1, replace->height() / 2));
        QCOMPARE(m_calls, (std::vector<QString>{"replace pt-BR"}));
    }

    // "EN", "PT" and "ES" differ in width: the picker and the Replace control follow the title.
    void replaceControlFitsThePickerAfterEveryChoice()
    {
        m_preferences->setReplaceOutputLanguage(Language::pt_BR);
        ActionsWindow window(*m_state, *m_preferences, QStringLiteral("app.parlomatic.Test"));
        window.orderFrontWithoutActivating();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* replace = find<ReplaceButton>(window);
        LanguageMenu* picker = replace->languageMenu();
        QMap<Language, int> widths;
        for (const Language language : {Language::en_US, Language::pt_BR, Language::es_MX, Language::en_US}) {
            replace->setSelectedLanguage(language);
            // The button's own size follows its title at once; the picker, the control and the strip
            // around it no sooner than their layouts have run.
            QTRY_COMPARE(picker->size(), picker->controller()->menuButton()->sizeHint());
            QTRY_COMPARE(replace->size(), replace->sizeHint());
            QTRY_COMPARE(picker->geometry().right(), replace->width() - 1 - 5);
            QTRY_COMPARE(window.view()->strip()->size(), window.view()->strip()->sizeHint());
            widths.insert(language, picker->width());
        }
        // Otherwise this case proves nothing with the fonts at hand.
        QVERIFY(widths.value(Language::en_US) != widths.value(Language::pt_BR));
        window.close();
    }

    void paddedSizeIsTheFullRowWhateverTheType_data()
    {
        QTest::addColumn<ActionType>("typeAtConstruction");
        QTest::newRow("write") << ActionType::write;
        QTest::newRow("readonly") << ActionType::readonly;
    }

    void paddedSizeIsTheFullRowWhateverTheType()
    {
        QFETCH(ActionType, typeAtConstruction);
        ActionState reference;
        ActionsView fullRow(reference, *m_preferences);
        const QSize expected = fullRow.sizeHint() + QSize(35, 20);

        m_state->setType(typeAtConstruction);
        ActionsWindow window(*m_state, *m_preferences, QStringLiteral("app.parlomatic.Test"));
        QCOMPARE(window.paddedSize(), expected);
        QCOMPARE(window.size(), expected);
        QCOMPARE(describe(window.view()->stripItems()).size(), typeAtConstruction == ActionType::write ? 7 : 3);

        window.orderFrontWithoutActivating();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (const ActionType type : {ActionType::readonly, ActionType::write, ActionType::readonly}) {
            m_state->setType(type);
            window.layout()->activate();
            QCOMPARE(window.paddedSize(), expected);
            QCOMPARE(window.size(), expected);
            // Either row is drawn centred in the same panel.
            const QRect view = window.view()->geometry();
            QCOMPARE(view.size(), window.view()->sizeHint());
            QVERIFY(qAbs((view.left() + view.right()) - (window.width() - 1)) <= 1);
            QVERIFY(qAbs((view.top() + view.bottom()) - (window.height() - 1)) <= 1);
        }
        window.close();
    }

    void oneWindowIsReusedAndOpenExactlyBetweenShowAndClose()
    {
        ActionsWindow window(*m_state, *m_preferences, QStringLiteral("app.parlomatic.Test"));
        QCOMPARE(window.windowTitle(), QStringLiteral("Parlomatic - Menu"));
        QCOMPARE(window.objectName(), QStringLiteral("app.parlomatic.Test"));
        const Qt::WindowFlags flags = window.windowFlags();
        for (const Qt::WindowType flag :
             {Qt::Tool, Qt::FramelessWindowHint, Qt::WindowStaysOnTopHint, Qt::WindowDoesNotAcceptFocus}) {
            QVERIFY(flags.testFlag(flag));
        }
        QVERIFY(window.testAttribute(Qt::WA_ShowWithoutActivating));
        QVERIFY(window.testAttribute(Qt::WA_TranslucentBackground));

        ActionsView* view = window.view();
        QVERIFY(!window.isOpen());
        QVERIFY(!window.isVisible());
        for (int cycle = 0; cycle < 3; ++cycle) {
            const QRect frame(QPoint(100 + 10 * cycle, 300), window.paddedSize());
            window.setFrame(frame);
            QVERIFY(!window.isOpen());
            window.orderFrontWithoutActivating();
            QVERIFY(window.isOpen());
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QCOMPARE(window.geometry(), frame);
            QCOMPARE(window.view(), view);
            window.close();
            QVERIFY(!window.isOpen());
            QVERIFY(!window.isVisible());
        }
        window.close();
        QVERIFY(!window.isOpen());

        // Closed by other means than the panel's own close.
        window.orderFrontWithoutActivating();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(static_cast<QWidget&>(window).close());
        QVERIFY(!window.isVisible());
        QVERIFY(!window.isOpen());
    }

    // The strip is filled with the text background inside its corners and leaves the panel clear around it.
    void stripIsFilledAndThePanelAroundItIsClear()
    {
        ActionsWindow window(*m_state, *m_preferences, QStringLiteral("app.parlomatic.Test"));
        window.orderFrontWithoutActivating();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QImage image = window.grab().toImage();
        const QRect strip(window.view()->strip()->mapTo(&window, QPoint(0, 0)), window.view()->strip()->size());
        const QPoint inside(strip.center().x(), strip.top() + 1);
        QCOMPARE(image.pixelColor(inside), SemanticColors::textBackground(window.palette()));
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
        QCOMPARE(image.pixelColor(strip.topLeft()).alpha() < 255, true);
        window.close();
    }

    // Without a compositor the panel is cut to its controls, and the cut follows the row.
    void withoutCompositorThePanelIsCutToItsControls()
    {
        ActionsWindow window(*m_state, *m_preferences, QStringLiteral("app.parlomatic.Test"));
        window.setCompositingActive(false);
        window.orderFrontWithoutActivating();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const ActionsView& view = *window.view();
        auto centreOf = [&](const QWidget* widget) { return widget->mapTo(&window, widget->rect().center()); };
        const QPoint improve = centreOf(find<ActionButton>(window, QStringLiteral("Improve")));
        QVERIFY(window.mask().contains(centreOf(view.strip())));
        QVERIFY(window.mask().contains(improve));
        QVERIFY(window.mask().contains(centreOf(view.closeButton())));
        QVERIFY(!window.mask().contains(QPoint(0, 0)));
        const QPoint gap = view.closeButton()->mapTo(&window, QPoint(-2, view.closeButton()->height() / 2));
        QVERIFY(!window.mask().contains(gap));

        m_state->setType(ActionType::readonly);
        window.layout()->activate();
        QVERIFY(!window.mask().contains(improve));
        QVERIFY(window.mask().contains(centreOf(view.closeButton())));

        window.setCompositingActive(true);
        QVERIFY(window.mask().isEmpty());
        window.close();
    }

    // Each layer of a symbol lands where the file puts it, in its own colour.
    void symbolLayersKeepTheirPlacesAndColours()
    {
        QVERIFY(Symbol(QStringLiteral("no.such.symbol")).isNull());
        const Symbol symbol(QStringLiteral("xmark.circle.fill"));
        QVERIFY(!symbol.isNull());
        QImage image(172, 172, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        symbol.paint(painter, QRectF(0, 0, 172, 172), {.primary = Qt::red, .tertiary = Qt::blue});
        painter.end();
        QCOMPARE(image.pixelColor(86, 86), QColor(Qt::red));
        QCOMPARE(image.pixelColor(86, 20), QColor(Qt::blue));
        QCOMPARE(image.pixelColor(2, 2).alpha(), 0);
        // "xmark.circle.fill" is 0.86 em wide and high.
        QFont font;
        font.setPixelSize(100);
        QCOMPARE(symbol.sizeForFont(font), QSizeF(86, 86));
    }

    void colourSchemes_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }

    void colourSchemes()
    {
        QFETCH(bool, dark);
        const QPalette palette = dark ? darkPalette() : QPalette(QColor(0xef, 0xef, 0xef));
        QCOMPARE(SemanticColors::isDark(palette), dark);
        QVERIFY(qAbs(ButtonDivider::colour(palette).alphaF() - (dark ? 0.2 : 0.1)) < 0.01);
        const Symbol::Palette close = CloseButton::colours(palette);
        QCOMPARE(close.primary, dark ? SemanticColors::label(palette) : QColor(Qt::white));
        QCOMPARE(close.secondary.alpha(), 0);
        QCOMPARE(close.tertiary, dark ? SemanticColors::textBackground(palette) : SemanticColors::gray(palette));
    }
};

QTEST_MAIN(ActionsPanelTest)
#include "ActionsPanelTest.moc"
