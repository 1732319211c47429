#include "panels/LanguageMenuView.h"

#include "panels/MenuButton.h"
#include "panels/SemanticColors.h"
#include "panels/SystemFont.h"
#include "service/Preferences.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>

#include <algorithm>

namespace parlomatic::panels {

namespace {

constexpr double titlePointSize = 9.0;
constexpr double chevronPointSize = 6.0;
constexpr double cornerRadius = 3.0;
constexpr double backgroundOpacity = 0.25;
constexpr int menuOffsetBelow = 8;

// The application's style, except that a checkable menu item shows a plain check mark when it is
// checked and nothing when it is not, instead of an empty box beside every other language.
class CheckMarkMenuStyle : public QProxyStyle {
public:
    CheckMarkMenuStyle() : QProxyStyle(QStyleFactory::create(QApplication::style()->name())) {}

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override
    {
        const bool menuCheck = element == PE_IndicatorCheckBox || element == PE_IndicatorMenuCheckMark;
        if (!menuCheck || qobject_cast<const QMenu*>(widget) == nullptr) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
            return;
        }
        if (!option->state.testFlag(State_On)) {
            return;
        }
        const QRectF box = QRectF(option->rect).adjusted(1, 1, -1, -1);
        QPainterPath mark;
        mark.moveTo(box.left() + box.width() * 0.2, box.top() + box.height() * 0.55);
        mark.lineTo(box.left() + box.width() * 0.42, box.top() + box.height() * 0.75);
        mark.lineTo(box.left() + box.width() * 0.8, box.top() + box.height() * 0.28);
        const QPalette::ColorRole role =
            option->state.testFlag(State_Selected) ? QPalette::HighlightedText : QPalette::Text;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(QPen(option->palette.color(role), std::max(1.5, box.height() / 8), Qt::SolidLine, Qt::RoundCap,
                             Qt::RoundJoin));
        painter->setBrush(Qt::NoBrush);
        painter->drawPath(mark);
        painter->restore();
    }
};

} // namespace

LanguageMenuView::LanguageMenuView(service::Preferences& preferences, QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    m_menuButton = new MenuButton(this);
    Symbol chevron(QStringLiteral("chevron.down"));
    const QSizeF chevronSize = chevron.sizeForFont(systemFont(chevronPointSize, QFont::Bold));
    m_menuButton->setImage(std::move(chevron), chevronSize);
    // The menu does not exist yet, so this sets only the title.
    updateSelection(preferences.replaceOutputLanguage());

    m_openMenu = new QMenu(this);
    auto* menuStyle = new CheckMarkMenuStyle;
    menuStyle->setParent(m_openMenu);
    m_openMenu->setStyle(menuStyle);
    for (const service::Language language : service::allLanguages) {
        QAction* item = m_openMenu->addAction(QString::fromUtf8(displayName(language)));
        item->setCheckable(true);
        item->setData(rawValue(language));
    }
    connect(m_openMenu, &QMenu::triggered, this, &LanguageMenuView::menuItemClicked);
    connect(m_menuButton, &QAbstractButton::clicked, this, &LanguageMenuView::showMenu);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_menuButton);
}

LanguageMenuView::~LanguageMenuView() = default;

QString LanguageMenuView::title(service::Language language)
{
    const QStringList pieces = QString::fromUtf8(code(language)).split(u'-', Qt::SkipEmptyParts);
    return pieces.isEmpty() ? QString() : pieces.first().toUpper();
}

void LanguageMenuView::updateSelection(service::Language language)
{
    if (m_menuButton != nullptr) {
        m_menuButton->setAttributedTitle(title(language), systemFont(titlePointSize, QFont::Normal));
        // A screen reader says the language, not its two-letter title.
        m_menuButton->setAccessibleName(QString::fromUtf8(displayName(language)));
    }
    if (m_openMenu != nullptr) {
        for (QAction* item : m_openMenu->actions()) {
            item->setChecked(item->data().toInt() == rawValue(language));
        }
    }
}

void LanguageMenuView::showMenu()
{
    if (m_openMenu == nullptr) {
        return;
    }
    m_openMenu->popup(m_menuButton->mapToGlobal(QPoint(0, m_menuButton->height() + menuOffsetBelow)));
}

void LanguageMenuView::menuItemClicked(QAction* item)
{
    // A checkable item toggles itself when triggered; the check marks belong to the owner, so the
    // toggle is undone and the owner's next updateSelection decides.
    item->setChecked(!item->isChecked());
    if (!onSelection) {
        return;
    }
    const service::Language language =
        service::languageFromRawValue(item->data().toInt()).value_or(service::Language::en_US);
    onSelection(language);
}

void LanguageMenuView::hideEvent(QHideEvent* event)
{
    m_openMenu->close();
    QWidget::hideEvent(event);
}

void LanguageMenuView::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(SemanticColors::withOpacity(SemanticColors::gray(palette()), backgroundOpacity));
    painter.drawRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
}

} // namespace parlomatic::panels
