// libFuzzer target: desktop entry files (any user may install one) as the application list reads
// them, and their Exec lines. Whatever the file, reading ends; words quoted as the format has it
// read back unchanged, the program first.
#include "FuzzTarget.h"
#include "platform/linux/desktop/DesktopEntry.h"

namespace {

using namespace parlomatic::platform;

// The word double-quoted, with the characters the format reserves inside quotes escaped.
QString quoted(const QString& word)
{
    QString text = QStringLiteral("\"");
    for (const QChar c : word) {
        if (QStringLiteral("\"`$\\").contains(c)) {
            text += QLatin1Char('\\');
        }
        text += c;
    }
    return text + QLatin1Char('"');
}

void fuzzOne(std::string_view input)
{
    const QByteArray bytes(input.data(), qsizetype(input.size()));
    (void)DesktopEntry::parse(bytes);
    // The input's NUL-separated pieces as the words of an Exec line.
    const QStringList words = QString::fromUtf8(bytes).split(QChar(u'\0'));
    QStringList line;
    for (const QString& word : words) {
        line.push_back(quoted(word));
    }
    require(execWords(line.join(QLatin1Char(' '))) == words);
    if (!words.front().contains(QLatin1Char('\n')) && words.front() != QLatin1String("env")) {
        const QString entry =
            QStringLiteral("[Desktop Entry]\nExec=") + quoted(words.front()) + QStringLiteral(" %U\n");
        require(DesktopEntry::parse(entry.toUtf8()).command == QStringList({words.front(), QStringLiteral("%U")}));
    }
}

} // namespace
