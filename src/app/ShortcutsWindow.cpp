#include "app/ShortcutsWindow.h"

#include "service/Preferences.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace parlomatic::app {
namespace {

bool acceptable(const QKeySequence& keys)
{
    if (keys.isEmpty()) {
        return true;
    }
    const QKeyCombination combination = keys[0];
    const bool functionKey = combination.key() >= Qt::Key_F1 && combination.key() <= Qt::Key_F35;
    return functionKey ||
           (combination.keyboardModifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) != 0;
}

} // namespace

ShortcutsWindow::ShortcutsWindow(service::Preferences& preferences, const QString& note, QWidget* parent)
    : QWidget(parent, Qt::Dialog), m_preferences(preferences), m_message(new QLabel(this))
{
    setWindowTitle(QStringLiteral("Keyboard Shortcuts"));
    auto* explanation = new QLabel(
        QStringLiteral("These keys act on the text you select in any application, as the strip's buttons do."), this);
    explanation->setWordWrap(true);
    auto* rows = new QGridLayout;
    int row = 0;
    for (const selection::ShortcutAction action : selection::allShortcutActions) {
        auto* editor = new QKeySequenceEdit(this);
        editor->setObjectName(QString::fromLatin1(selection::shortcutName(action)));
        editor->setAccessibleName(selection::shortcutTitle(action));
        auto* clear = new QPushButton(QStringLiteral("Clear"), this);
        clear->setAccessibleName(QStringLiteral("Clear %1").arg(selection::shortcutTitle(action)));
        connect(editor, &QKeySequenceEdit::editingFinished, this,
                [this, action, editor] { keep(action, editor->keySequence()); });
        connect(clear, &QPushButton::clicked, this, [this, action] { keep(action, {}); });
        auto* label = new QLabel(selection::shortcutTitle(action), this);
        label->setBuddy(editor);
        rows->addWidget(label, row, 0);
        rows->addWidget(editor, row, 1);
        rows->addWidget(clear, row, 2);
        m_editors[action] = editor;
        ++row;
    }
    m_message->setWordWrap(true);
    auto* defaults = new QPushButton(QStringLiteral("Restore Defaults"), this);
    connect(defaults, &QPushButton::clicked, this, [this] {
        for (const selection::ShortcutAction action : selection::allShortcutActions) {
            selection::storeShortcut(m_preferences, action, selection::defaultShortcut(action));
        }
        showStored();
        emit changed();
    });
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(defaults);
    buttons->addStretch(1);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanation);
    layout->addLayout(rows);
    if (!note.isEmpty()) {
        auto* noteLabel = new QLabel(note, this);
        noteLabel->setWordWrap(true);
        layout->addWidget(noteLabel);
    }
    layout->addWidget(m_message);
    layout->addLayout(buttons);
    showStored();
    resize(420, sizeHint().height());
}

void ShortcutsWindow::showStored()
{
    for (const auto& [action, editor] : m_editors) {
        editor->setKeySequence(selection::storedShortcut(m_preferences, action));
    }
}

void ShortcutsWindow::keep(selection::ShortcutAction action, const QKeySequence& keys)
{
    // A sequence of several combinations is cut to its first: a global shortcut is one press.
    const QKeySequence first = keys.isEmpty() ? QKeySequence() : QKeySequence(keys[0]);
    if (!acceptable(first)) {
        m_message->setText(QString::fromLatin1(refusedMessage));
        showStored();
        return;
    }
    m_message->clear();
    for (const selection::ShortcutAction other : selection::allShortcutActions) {
        if (other != action && !first.isEmpty() && selection::storedShortcut(m_preferences, other) == first) {
            selection::storeShortcut(m_preferences, other, {});
        }
    }
    selection::storeShortcut(m_preferences, action, first);
    showStored();
    emit changed();
}

void ShortcutsWindow::showEvent(QShowEvent* event)
{
    showStored();
    emit editing(true);
    QWidget::showEvent(event);
}

void ShortcutsWindow::hideEvent(QHideEvent* event)
{
    emit editing(false);
    QWidget::hideEvent(event);
}

} // namespace parlomatic::app
