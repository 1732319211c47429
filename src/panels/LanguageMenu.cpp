#include "panels/LanguageMenu.h"

#include "panels/LanguageMenuView.h"

#include <QHBoxLayout>

namespace parlomatic {

LanguageMenu::LanguageMenu(Preferences& preferences, std::function<void(Language)> onSelection, Language label,
                           QWidget* parent)
    : QWidget(parent), m_controller(new LanguageMenuView(preferences, this)), m_label(label)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_controller->onSelection = std::move(onSelection);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_controller);
    m_controller->updateSelection(m_label);
}

void LanguageMenu::setLabel(Language label)
{
    m_label = label;
    m_controller->updateSelection(label);
}

} // namespace parlomatic
