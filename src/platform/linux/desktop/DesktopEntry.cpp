#include "platform/linux/desktop/DesktopEntry.h"

#include <QTextStream>

namespace parlomatic::platform {

DesktopEntry DesktopEntry::parse(const QByteArray& contents)
{
    QTextStream text(contents);
    bool mainGroup = false;
    QString exec;
    DesktopEntry entry;
    while (!text.atEnd()) {
        const QString line = text.readLine().trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            mainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!mainGroup || equals < 0) {
            continue;
        }
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("Exec")) {
            exec = value;
        } else if (key == QLatin1String("Name")) {
            entry.name = value;
        } else if (key == QLatin1String("Hidden")) {
            entry.hidden = value == QLatin1String("true");
        }
    }
    entry.command = execWords(exec);
    // "env NAME=value program ...": the program is the first word without an equals sign.
    if (!entry.command.isEmpty() && entry.command.front() == QLatin1String("env")) {
        entry.command.pop_front();
        while (!entry.command.isEmpty() && entry.command.front().contains(QLatin1Char('='))) {
            entry.command.pop_front();
        }
    }
    return entry;
}

QStringList execWords(const QString& exec)
{
    QStringList words;
    QString word;
    bool quoted = false;
    bool inWord = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
            inWord = true;
        } else if (c == QLatin1Char('\\') && quoted && i + 1 < exec.size()) {
            word += exec[++i];
        } else if (c.isSpace() && !quoted) {
            if (inWord) {
                words.push_back(word);
            }
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

} // namespace parlomatic::platform
