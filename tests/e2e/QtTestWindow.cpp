// A small Qt window for the desktop tests: a text area, a text field, a selectable read-only
// label, a read-only text area and a password field. Commands on standard input, one per line:
//   focus <editor|line|label|readonly|password>   give that widget the keyboard focus
//   select-label                          select the whole label text
//   focus-quietly line                    move the focus to the text field announcing only that the
//                                         previous widget lost it (as widgets of some toolkits do)
//   focus-silently line                   move it there announcing nothing
//   copy two formats                      put a text and an image (1 MiB: an INCR transfer) on the clipboard
//   copy slowly                           the same, but each format takes a second to hand over
//   manage clipboard                      from now on fetch every new clipboard content at once, as
//                                         a desktop's clipboard manager does
// It answers "ready" once shown and "ok <command>" after each command.

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QSocketNotifier>
#include <QTextEdit>
#include <QThread>
#include <QVBoxLayout>

#include <iostream>
#include <map>
#include <string>
#include <unistd.h>

namespace {

// Clipboard content whose owner takes a second over each format.
class SlowData final : public QMimeData {
protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override
    {
        QThread::sleep(1);
        return QMimeData::retrieveData(mimeType, type);
    }
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Parlomatic Qt test window"));
    QVBoxLayout layout(&window);
    auto* editor = new QTextEdit(&window);
    editor->setTabChangesFocus(true);
    auto* line = new QLineEdit(&window);
    auto* label = new QLabel(QStringLiteral("A read-only label with selectable words"), &window);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setFocusPolicy(Qt::StrongFocus);
    auto* readOnly = new QTextEdit(QStringLiteral("Read-only text that can be selected"), &window);
    readOnly->setReadOnly(true);
    readOnly->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    auto* password = new QLineEdit(&window);
    password->setEchoMode(QLineEdit::Password);
    const std::map<std::string, QWidget*> focusable{{"focus editor", editor},
                                                    {"focus line", line},
                                                    {"focus label", label},
                                                    {"focus readonly", readOnly},
                                                    {"focus password", password}};
    for (const auto& [command, widget] : focusable) {
        layout.addWidget(widget);
    }
    window.resize(500, 400);
    window.show();
    editor->setFocus();

    // While set, focus-gained announcements are held back; everything else reaches the bus.
    static bool quiet = false;
    QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
        if (quiet && event->type() == QAccessible::Focus) {
            return;
        }
        const QAccessible::UpdateHandler self = QAccessible::installUpdateHandler(nullptr);
        QAccessible::updateAccessibility(event);
        QAccessible::installUpdateHandler(self);
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        std::string command;
        if (!std::getline(std::cin, command)) {
            QApplication::quit();
            return;
        }
        if (const auto it = focusable.find(command); it != focusable.end()) {
            it->second->setFocus();
        } else if (command == "focus-quietly line" || command == "focus-silently line") {
            QAccessibleInterface* previous = QAccessible::queryAccessibleInterface(QApplication::focusWidget());
            quiet = true;
            line->setFocus();
            quiet = false;
            // Qt announces a lost focus only together with the gained one: sent here by hand on its
            // accessibility connection, marked with the command's name for the test to tell it from Qt's.
            if (previous != nullptr && command == "focus-quietly line") {
                QDBusMessage lost = QDBusMessage::createSignal(
                    QStringLiteral("/org/a11y/atspi/accessible/") + QString::number(QAccessible::uniqueId(previous)),
                    QStringLiteral("org.a11y.atspi.Event.Object"), QStringLiteral("StateChanged"));
                lost << QStringLiteral("focused") << 0 << 0
                     << QVariant::fromValue(QDBusVariant(QStringLiteral("focus-quietly"))) << QVariantMap();
                QDBusConnection(QStringLiteral("a11y")).send(lost);
            }
        } else if (command == "copy two formats" || command == "copy slowly") {
            const auto copy = [&command] {
                QMimeData* data = command == "copy slowly" ? new SlowData : new QMimeData;
                data->setText(QStringLiteral("copied in the Qt window"));
                data->setData(QStringLiteral("image/png"), QByteArray("\x89PNG not really", 16).repeated(65536));
                QApplication::clipboard()->setMimeData(data);
            };
            copy();
            // The X server refuses the clipboard for a time older than its owner's, and this window sees
            // no X events while it takes commands on its input: a property change of its own brings
            // Qt a fresh time, as often as it takes.
            for (int tries = 0; tries < 20 && !QApplication::clipboard()->ownsClipboard(); ++tries) {
                window.setWindowRole(QString::number(tries));
                QElapsedTimer since;
                since.start();
                while (since.elapsed() < 50) {
                    QApplication::processEvents(QEventLoop::AllEvents, 10);
                }
                copy();
            }
        } else if (command == "manage clipboard") {
            QObject::connect(QApplication::clipboard(), &QClipboard::dataChanged, [] {
                const QMimeData* data = QApplication::clipboard()->mimeData();
                if (data == nullptr) {
                    return;
                }
                for (const QString& format : data->formats()) {
                    static_cast<void>(data->data(format));
                }
            });
        } else if (command == "select-label") {
            label->setSelection(0, static_cast<int>(label->text().size()));
        }
        std::cout << "ok " << command << '\n' << std::flush;
    });
    std::cout << "ready\n" << std::flush;
    return QApplication::exec();
}
