#include "panels/LanguageMenu.h"

#include "panels/LanguageMenuView.h"

#include <QHBoxLayout>

namespace parlomatic::panels {

LanguageMenu::LanguageMenu(service::Preferences& preferences, std::function<void(service::Language)> onSelection,
                           service::Language label, QWidget* parent)
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

void LanguageMenu::setLabel(service::Language label)
{
    m_label = label;
    m_controller->updateSelection(label);
}

} // namespace parlomatic::panels
