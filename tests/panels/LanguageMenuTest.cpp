#include "panels/LanguageMenu.h"
#include "panels/LanguageMenuView.h"
#include "panels/MenuButton.h"
#include "service/Preferences.h"

#include <QAction>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

using namespace parlomatic;

Q_DECLARE_METATYPE(parlomatic::Language)

class LanguageMenuTest : public QObject {
    Q_OBJECT

private:
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("Parlomatic.conf")); }
    void storeRaw(const QVariant& value) const
    {
        QSettings(settingsPath(), QSettings::IniFormat).setValue(QStringLiteral("replaceOutputLanguage"), value);
    }
    static QList<bool> checkMarks(const LanguageMenuView& view)
    {
        QList<bool> marks;
        for (const QAction* item : view.openMenu()->actions()) {
            marks.append(item->isChecked());
        }
        return marks;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Preferences> m_preferences;

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_preferences = std::make_unique<Preferences>(settingsPath().toStdString());
    }

    void cleanup()
    {
        m_preferences.reset();
        m_dir.reset();
    }

    void menuListsTheLanguagesInOrderWithTheirTags()
    {
        LanguageMenuView view(*m_preferences);
        const QList<QAction*> items = view.openMenu()->actions();
        QCOMPARE(items.size(), 3);
        const QStringList names{"Spanish (Mexico)", "Portuguese (Brazil)", "English (US)"};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(items[i]->text(), names[i]);
            QCOMPARE(items[i]->data().toInt(), i);
        }
    }

    void boundLanguageSetsTitleAndCheckMark_data()
    {
        QTest::addColumn<Language>("language");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QList<bool>>("marks");
        QTest::newRow("es_MX") << Language::es_MX << "ES" << QList<bool>{true, false, false};
        QTest::newRow("pt_BR") << Language::pt_BR << "PT" << QList<bool>{false, true, false};
        QTest::newRow("en_US") << Language::en_US << "EN" << QList<bool>{false, false, true};
    }

    void boundLanguageSetsTitleAndCheckMark()
    {
        QFETCH(Language, language);
        QFETCH(QString, title);
        QFETCH(QList<bool>, marks);
        LanguageMenu menu(*m_preferences, {}, Language::en_US);
        menu.setLabel(language);
        QCOMPARE(menu.controller()->menuButton()->text(), title);
        QCOMPARE(menu.controller()->menuButton()->titleFont().pointSizeF(), 9.0);
        QCOMPARE(checkMarks(*menu.controller()), marks);
    }

    // Before its owner's first update the picker shows the stored language and checks nothing.
    void initialTitleComesFromTheStoredPreference_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("title");
        QTest::newRow("nothing stored") << QVariant() << "EN";
        QTest::newRow("Portuguese") << QVariant(1) << "PT";
        QTest::newRow("Spanish") << QVariant(0) << "ES";
        QTest::newRow("out of range") << QVariant(7) << "EN";
        QTest::newRow("negative") << QVariant(-1) << "EN";
        QTest::newRow("not a number") << QVariant(QStringLiteral("pt-BR")) << "EN";
    }

    void initialTitleComesFromTheStoredPreference()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, title);
        if (stored.isValid()) {
            storeRaw(stored);
        }
        Preferences restarted(settingsPath().toStdString());
        LanguageMenuView view(restarted);
        QCOMPARE(view.menuButton()->text(), title);
        QCOMPARE(checkMarks(view), (QList<bool>{false, false, false}));
    }

    void choosingAnItemReportsOnceAndLeavesTheTitleToTheOwner()
    {
        std::vector<Language> reported;
        LanguageMenu menu(
            *m_preferences, [&](Language language) { reported.push_back(language); }, Language::pt_BR);
        menu.controller()->openMenu()->actions().at(0)->trigger();
        QCOMPARE(reported.size(), size_t{1});
        QCOMPARE(reported.front(), Language::es_MX);
        QCOMPARE(menu.controller()->menuButton()->text(), QStringLiteral("PT"));
        QCOMPARE(checkMarks(*menu.controller()), (QList<bool>{false, true, false}));

        // Choosing the checked item again must not take its check mark away.
        menu.controller()->openMenu()->actions().at(1)->trigger();
        QCOMPARE(reported.size(), size_t{2});
        QCOMPARE(checkMarks(*menu.controller()), (QList<bool>{false, true, false}));

        menu.setLabel(Language::es_MX);
        QCOMPARE(menu.controller()->menuButton()->text(), QStringLiteral("ES"));
        QCOMPARE(checkMarks(*menu.controller()), (QList<bool>{true, false, false}));
    }

    void choosingWithoutACallbackDoesNothing()
    {
        LanguageMenuView view(*m_preferences);
        view.updateSelection(Language::en_US);
        view.openMenu()->actions().at(0)->trigger();
        QCOMPARE(view.menuButton()->text(), QStringLiteral("EN"));
        QCOMPARE(checkMarks(view), (QList<bool>{false, false, true}));
    }

    void buttonDrawsTitleLeadingAndChevronTrailing()
    {
        LanguageMenuView view(*m_preferences);
        view.updateSelection(Language::pt_BR);
        view.adjustSize();
        const MenuButton& button = *view.menuButton();
        QVERIFY(button.hasImage());
        QCOMPARE(button.sizeHint().width(), button.naturalSize().width() + 2);
        QCOMPARE(button.sizeHint().height(), button.naturalSize().height());
        QCOMPARE(view.size(), button.sizeHint());
        QCOMPARE(button.titleRect().topLeft(), QPointF(2, 0));
        const QRectF image = button.imageRect();
        QVERIFY(!image.isEmpty());
        QCOMPARE(image.right(), button.width() - 2.0);
        QCOMPARE(image.center().y(), button.height() / 2.0);
        QVERIFY(button.titleRect().right() <= image.left());
        QCOMPARE(button.focusPolicy(), Qt::NoFocus);
    }

    // The bound language's item carries a check mark; the others show nothing in its place.
    void onlyTheBoundLanguageShowsAMark()
    {
        LanguageMenuView view(*m_preferences);
        view.updateSelection(Language::pt_BR);
        QMenu& menu = *view.openMenu();
        menu.popup(QPoint(100, 100));
        QVERIFY(QTest::qWaitForWindowExposed(&menu));
        const QImage image = menu.grab().toImage();
        QList<bool> marked;
        for (QAction* item : menu.actions()) {
            // Clear of the menu's frame, which the first and last rows touch.
            const QRect row = menu.actionGeometry(item).adjusted(3, 2, 0, -2);
            const QColor background = image.pixelColor(row.right() - 2, row.center().y());
            bool drawn = false;
            for (int y = row.top(); y <= row.bottom(); ++y) {
                for (int x = row.left(); x < row.left() + row.height(); ++x) {
                    const QColor pixel = image.pixelColor(x, y);
                    drawn = drawn || qAbs(pixel.lightness() - background.lightness()) > 40;
                }
            }
            marked.append(drawn);
        }
        menu.close();
        QCOMPARE(marked, (QList<bool>{false, true, false}));
    }

    void clickPopsTheMenuUpJustBelowTheButton()
    {
        QWidget window;
        window.move(200, 200);
        LanguageMenu menu(*m_preferences, {}, Language::en_US, &window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MenuButton& button = *menu.controller()->menuButton();
        QTest::mouseClick(&button, Qt::LeftButton);
        QMenu& popup = *menu.controller()->openMenu();
        QTRY_VERIFY(popup.isVisible());
        const QPoint below = button.mapToGlobal(QPoint(0, button.height() + 8));
        QCOMPARE(popup.geometry().topLeft(), below);

        // The panel going away takes the open menu with it.
        window.hide();
        QTRY_VERIFY(!popup.isVisible());
    }
};

QTEST_MAIN(LanguageMenuTest)
#include "LanguageMenuTest.moc"
