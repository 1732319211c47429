#include "platform/linux/desktop/ProcApplicationIdentities.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <filesystem>
#include <unistd.h>

namespace parlomatic::platform {
namespace {

// Desktop entries of a private data folder only, which run this test program.
TEST(ProcApplicationIdentitiesTest, TheProgramsOwnEntryNamesItElseItsExecutable)
{
    const QString self = QString::fromStdString(std::filesystem::read_symlink("/proc/self/exe").string());
    QTemporaryDir data;
    const QByteArray savedHome = qgetenv("XDG_DATA_HOME");
    const QByteArray savedDirs = qgetenv("XDG_DATA_DIRS");
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    qputenv("XDG_DATA_DIRS", data.filePath(QStringLiteral("none")).toUtf8());
    const auto entry = [&data](const QString& path, const QString& body) {
        QDir().mkpath(QFileInfo(data.filePath(path)).path());
        QFile file(data.filePath(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(body.toUtf8());
    };
    entry(QStringLiteral("applications/hidden.desktop"),
          QStringLiteral("[Desktop Entry]\nHidden=true\nExec=%1\n").arg(self));
    EXPECT_EQ(ProcApplicationIdentities().identify(getpid()), (selection::ApplicationIdentity{self, {}}));

    // In a subfolder, and perhaps found first: an entry that opens a part of the same program.
    entry(QStringLiteral("applications/a/settings.desktop"),
          QStringLiteral("[Desktop Entry]\nName=Probe Settings\nExec=\"%1\" --preferences\n").arg(self));
    entry(QStringLiteral("applications/probe.desktop"),
          QStringLiteral("[Desktop Entry]\nName=Probe\nExec=env A=1 %1 %U\n\n[Desktop Action New]\nExec=/bin/true\n")
              .arg(self));
    EXPECT_EQ(ProcApplicationIdentities().identify(getpid()),
              (selection::ApplicationIdentity{QStringLiteral("probe.desktop"), QStringLiteral("Probe")}));
    EXPECT_FALSE(ProcApplicationIdentities().identify(0x7ffffff0)) << "no such process";
    qputenv("XDG_DATA_HOME", savedHome);
    qputenv("XDG_DATA_DIRS", savedDirs);
}

} // namespace
} // namespace parlomatic::platform
