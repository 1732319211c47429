// A small Qt window for the desktop tests: a text area, a text field, a selectable read-only
// label, a read-only text area and a password field. Commands on standard input, one per line:
//   focus <editor|line|label|readonly|password>   give that widget the keyboard focus
//   select-label                          select the whole label text
// It answers "ready" once shown and "ok <command>" after each command.

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Parlomatic Qt test window"));
    auto* layout = new QVBoxLayout(&window);
    auto* editor = new QTextEdit(&window);
    editor->setTabChangesFocus(true);
    auto* line = new QLineEdit(&window);
    auto* label = new QLabel(QStringLiteral("A read-only label with selectable words"), &window);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setFocusPolicy(Qt::StrongFocus);
    auto* readOnly = new QTextEdit(&window);
    readOnly->setPlainText(QStringLiteral("Read-only text that can be selected"));
    readOnly->setReadOnly(true);
    readOnly->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    auto* password = new QLineEdit(&window);
    password->setEchoMode(QLineEdit::Password);
    layout->addWidget(editor);
    layout->addWidget(line);
    layout->addWidget(label);
    layout->addWidget(readOnly);
    layout->addWidget(password);
    window.resize(500, 400);
    window.show();
    editor->setFocus();

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        std::string command;
        if (!std::getline(std::cin, command)) {
            QApplication::quit();
            return;
        }
        const std::map<std::string, QWidget*> focusable{{"focus editor", editor},
                                                        {"focus line", line},
                                                        {"focus label", label},
                                                        {"focus readonly", readOnly},
                                                        {"focus password", password}};
        if (const auto it = focusable.find(command); it != focusable.end()) {
            it->second->setFocus();
        } else if (command == "select-label") {
            label->setSelection(0, static_cast<int>(label->text().size()));
        }
        std::cout << "ok " << command << std::endl;
    });
    std::cout << "ready" << std::endl;
    return QApplication::exec();
}
