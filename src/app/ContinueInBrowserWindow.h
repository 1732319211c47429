#pragma once

#include <QString>
#include <QWidget>

class QLineEdit;

namespace parlomatic::app {

// Stands for the sign-in sheet while the user signs in in the browser: the address of the sign-in
// page (with a copy button, for a browser that did not open) and Cancel. Cancel or closing the
// window emits cancelled() once; dismiss() closes it without.
class ContinueInBrowserWindow final : public QWidget {
    Q_OBJECT

public:
    explicit ContinueInBrowserWindow(const QString& address, QWidget* parent = nullptr);

    void dismiss();

signals:
    void cancelled();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QLineEdit* m_address;
    bool m_done = false;
};

} // namespace parlomatic::app
