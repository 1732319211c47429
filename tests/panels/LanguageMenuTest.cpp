#include "panels/LanguageMenu.h"
#include "panels/LanguageMenuView.h"
#include "panels/MenuButton.h"
#include "service/Preferences.h"

#include <QAction>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>

using namespace parlomatic;

Q_DECLARE_METATYPE(parlomatic::service::Language)

class LanguageMenuTest : public QObject {
    Q_OBJECT

    static QList<bool> checkMarks(const panels::LanguageMenuView& view)
    {
        QList<bool> marks;
        for (const QAction* item : view.openMenu()->actions()) {
            marks.append(item->isChecked());
        }
        return marks;
    }

    // The picker only reads it.
    QTemporaryDir m_dir;
    service::Preferences m_preferences{m_dir.filePath(QStringLiteral("Parlomatic.conf")).toStdString()};

private slots:
    void boundLanguageSetsTitleAndCheckMark_data()
    {
        QTest::addColumn<service::Language>("language");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("index");
        QTest::newRow("es_MX") << service::Language::es_MX << "ES"
                               << "Spanish (Mexico)" << 0;
        QTest::newRow("pt_BR") << service::Language::pt_BR << "PT"
                               << "Portuguese (Brazil)" << 1;
        QTest::newRow("en_US") << service::Language::en_US << "EN"
                               << "English (US)" << 2;
    }

    // The languages in their order, tagged 0, 1, 2; the check mark is drawn, not only flagged, and the
    // other items show nothing in its place.
    void boundLanguageSetsTitleAndCheckMark()
    {
        QFETCH(service::Language, language);
        QFETCH(QString, title);
        QFETCH(QString, name);
        QFETCH(int, index);
        const QList<bool> marks{index == 0, index == 1, index == 2};
        panels::LanguageMenu menu(m_preferences, {}, service::Language::en_US);
        menu.setLabel(language);
        panels::MenuButton& button = *menu.controller()->menuButton();
        QCOMPARE(button.text(), title);
        button.resize(button.sizeHint());
        QVERIFY(button.titleRect().right() <= button.imageRect().left()); // the title and chevron never overlap
        QCOMPARE(checkMarks(*menu.controller()), marks);
        QMenu& popup = *menu.controller()->openMenu();
        const QAction* bound = popup.actions().at(index);
        QCOMPARE(bound->text(), name);
        QCOMPARE(bound->data().toInt(), index);
        popup.popup(QPoint(100, 100));
        QVERIFY(QTest::qWaitForWindowExposed(&popup));
        const QImage image = popup.grab().toImage();
        QList<bool> drawn;
        for (QAction* item : popup.actions()) {
            // Clear of the menu's frame, which the first and last rows touch.
            const QRect row = popup.actionGeometry(item).adjusted(3, 2, 0, -2);
            const int background = image.pixelColor(row.right() - 2, row.center().y()).lightness();
            bool mark = false;
            for (int y = row.top(); y <= row.bottom(); ++y) {
                for (int x = row.left(); x < row.left() + row.height(); ++x) {
                    mark = mark || qAbs(image.pixelColor(x, y).lightness() - background) > 40;
                }
            }
            drawn.append(mark);
        }
        popup.close();
        QCOMPARE(drawn, marks);
    }

    // A click pops the menu up just below the button; the panel going away takes it along. Choosing
    // reports once; the title and the check marks are the owner's to change, through setLabel.
    void clickPopsTheMenuUpAndChoosingReportsOnceAndChangesNothingElse()
    {
        QWidget window;
        window.move(200, 200);
        QList<service::Language> reported;
        panels::LanguageMenu menu(
            m_preferences, [&](service::Language language) { reported.append(language); }, service::Language::pt_BR,
            &window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        panels::LanguageMenuView& view = *menu.controller();
        panels::MenuButton& button = *view.menuButton();
        QTest::mouseClick(&button, Qt::LeftButton);
        QMenu& popup = *view.openMenu();
        QTRY_VERIFY(popup.isVisible());
        QCOMPARE(popup.geometry().topLeft(), button.mapToGlobal(QPoint(0, button.height() + 8)));
        window.hide();
        QTRY_VERIFY(!popup.isVisible());

        const QList<QAction*> items = popup.actions();
        items[0]->trigger();
        QCOMPARE(reported, QList<service::Language>{service::Language::es_MX});
        // Choosing the checked item must not take its check mark away.
        items[1]->trigger();
        QCOMPARE(reported, (QList<service::Language>{service::Language::es_MX, service::Language::pt_BR}));
        view.onSelection = nullptr;
        items[0]->trigger();
        QCOMPARE(reported.size(), 2);
        QCOMPARE(button.text(), QStringLiteral("PT"));
        QCOMPARE(checkMarks(view), (QList<bool>{false, true, false}));
    }
};

QTEST_MAIN(LanguageMenuTest)
#include "LanguageMenuTest.moc"
