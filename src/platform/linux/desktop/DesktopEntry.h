#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace parlomatic::platform {

// What a desktop entry file tells of the program it starts, from its [Desktop Entry] group.
struct DesktopEntry {
    QString name;
    bool hidden = false;
    // The words of its Exec value without an "env NAME=value ..." before the program: the program
    // first, then its arguments and field codes.
    QStringList command;

    static DesktopEntry parse(const QByteArray& contents);
};

// The words of an Exec value, quoted as the desktop entry format has it: a double-quoted word
// keeps its spaces, and a backslash in it takes the next character as it is.
QStringList execWords(const QString& exec);

} // namespace parlomatic::platform
