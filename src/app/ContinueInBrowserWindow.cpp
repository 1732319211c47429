#include "app/ContinueInBrowserWindow.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace parlomatic::app {

ContinueInBrowserWindow::ContinueInBrowserWindow(const QString& address, QWidget* parent)
    : QWidget(parent, Qt::Dialog), m_address(new QLineEdit(address, this))
{
    setWindowTitle(QStringLiteral("Continue in your browser"));
    setAttribute(Qt::WA_DeleteOnClose, false);

    auto* title = new QLabel(QStringLiteral("<b>Continue in your browser</b>"), this);
    auto* explanation = new QLabel(QStringLiteral("Sign in to Parlomatic on the page that opened in your browser. "
                                                  "If no browser opened, copy this address into one:"),
                                   this);
    explanation->setWordWrap(true);
    m_address->setReadOnly(true);
    m_address->setCursorPosition(0);

    auto* copy = new QPushButton(QStringLiteral("Copy"), this);
    copy->setObjectName(QStringLiteral("copy"));
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    connect(copy, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(m_address->text(), QClipboard::Clipboard); });
    connect(cancel, &QPushButton::clicked, this, &QWidget::close);

    auto* addressRow = new QHBoxLayout;
    addressRow->addWidget(m_address, 1);
    addressRow->addWidget(copy);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(explanation);
    layout->addLayout(addressRow);
    layout->addLayout(buttons);
    resize(460, sizeHint().height());
}

void ContinueInBrowserWindow::dismiss()
{
    m_done = true;
    close();
}

void ContinueInBrowserWindow::closeEvent(QCloseEvent* event)
{
    if (!m_done) {
        m_done = true;
        emit cancelled();
    }
    event->accept();
}

} // namespace parlomatic::app
