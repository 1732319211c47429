#include "app/StartAtLogin.h"

#include "common/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QSaveFile>
#include <QStandardPaths>

namespace parlomatic::app {
namespace {

// The Exec key's quoting: the path in double quotes, with `"`, `` ` ``, `$` and `\` escaped.
QString quotedForExec(QString path)
{
    for (const char* special : {"\\", "\"", "`", "$"}) {
        path.replace(QLatin1String(special), QLatin1String("\\") + QLatin1String(special));
    }
    // The desktop entry format reads backslashes once more before Exec's own quoting.
    path.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    return QLatin1Char('"') + path + QLatin1Char('"');
}

} // namespace

StartAtLogin::StartAtLogin(QString path, QString executable)
    : m_path(std::move(path)),
      m_executable(executable.isEmpty() ? QCoreApplication::applicationFilePath() : std::move(executable))
{}

QString StartAtLogin::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/parlomatic.desktop");
}

bool StartAtLogin::isEnabled() const
{
    return QFileInfo::exists(m_path);
}

bool StartAtLogin::setEnabled(bool enabled)
{
    if (!enabled) {
        if (QFile::exists(m_path) && !QFile::remove(m_path)) {
            logError("Could not remove the autostart entry " + m_path.toStdString());
            return false;
        }
        return true;
    }
    QSaveFile file(m_path);
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Parlomatic\n"
                                         "Comment=Translate, replace and improve the text you select\n"
                                         "Exec=%1\n"
                                         "Icon=parlomatic\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(quotedForExec(m_executable));
    if (!QDir().mkpath(QFileInfo(m_path).path()) || !file.open(QIODevice::WriteOnly) ||
        file.write(entry.toUtf8()) < 0 || !file.commit()) {
        logError("Could not write the autostart entry " + m_path.toStdString());
        return false;
    }
    return true;
}

void StartAtLogin::addItem(QMenu& menu)
{
    QAction* item = menu.addAction(QString::fromLatin1(title));
    item->setCheckable(true);
    item->setChecked(StartAtLogin().isEnabled());
    QObject::connect(&menu, &QMenu::aboutToShow, item, [item] { item->setChecked(StartAtLogin().isEnabled()); });
    QObject::connect(item, &QAction::toggled, item, [item](bool checked) {
        StartAtLogin entry;
        if (entry.isEnabled() != checked && !entry.setEnabled(checked)) {
            const QSignalBlocker quiet(item);
            item->setChecked(entry.isEnabled());
        }
    });
}

} // namespace parlomatic::app
