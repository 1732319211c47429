#include "app/AccessibilityPrompt.h"

#include "common/Log.h"
#include "platform/linux/atspi/AccessibilityBusStatus.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace parlomatic::app {

AccessibilityPrompt::AccessibilityPrompt(std::function<void()> turnOn, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QString::fromLatin1(title));
    setAttribute(Qt::WA_DeleteOnClose);

    auto* text = new QLabel(
        QStringLiteral("<p><b>Parlomatic needs the desktop's accessibility interface.</b></p>"
                       "<p>Parlomatic reads the text you select in other applications through the accessibility "
                       "interface, so that it can offer to translate or improve it. Nothing is read while this "
                       "interface is off.</p>"
                       "<p>Applications built on Qt or Chromium (and Electron) read this setting only when they start: "
                       "after turning it on, quit and start them again so that Parlomatic can read them.</p>"));
    text->setWordWrap(true);
    text->setTextFormat(Qt::RichText);

    auto* buttons = new QDialogButtonBox;
    QPushButton* on = buttons->addButton(QString::fromLatin1(turnOnTitle), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Not Now"), QDialogButtonBox::RejectRole);
    on->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, [this, turnOn = std::move(turnOn)] {
        turnOn();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(buttons);
    setMinimumWidth(420);
}

bool BusAccessibilityPermission::isTrusted()
{
    return platform::AccessibilityBusStatus::isEnabled().value_or(false);
}

void BusAccessibilityPermission::requestAccess()
{
    auto* prompt = new AccessibilityPrompt([] {
        if (!platform::AccessibilityBusStatus::setEnabled(true)) {
            logError("Could not switch on the desktop's accessibility bus.");
        }
    });
    prompt->show();
    prompt->raise();
    prompt->activateWindow();
}

} // namespace parlomatic::app
