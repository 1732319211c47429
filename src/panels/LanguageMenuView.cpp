#include "panels/LanguageMenuView.h"

#include "panels/MenuButton.h"
#include "panels/SemanticColors.h"
#include "panels/SystemFont.h"
#include "service/Preferences.h"

#include <QAction>
#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>

namespace parlomatic {

namespace {

constexpr double titlePointSize = 9.0;
constexpr double chevronPointSize = 6.0;
constexpr double cornerRadius = 3.0;
constexpr double backgroundOpacity = 0.25;
constexpr int menuOffsetBelow = 8;

} // namespace

LanguageMenuView::LanguageMenuView(Preferences& preferences, QWidget* parent) : QWidget(parent)
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
    for (const Language language : allLanguages) {
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

QString LanguageMenuView::title(Language language)
{
    const QStringList pieces = QString::fromUtf8(code(language)).split(u'-', Qt::SkipEmptyParts);
    return pieces.isEmpty() ? QString() : pieces.first().toUpper();
}

void LanguageMenuView::updateSelection(Language language)
{
    if (m_menuButton != nullptr) {
        m_menuButton->setAttributedTitle(title(language), systemFont(titlePointSize, QFont::Normal));
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
    const Language language = languageFromRawValue(item->data().toInt()).value_or(Language::en_US);
    onSelection(language);
}

void LanguageMenuView::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(SemanticColors::withOpacity(SemanticColors::gray(palette()), backgroundOpacity));
    painter.drawRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
}

} // namespace parlomatic
