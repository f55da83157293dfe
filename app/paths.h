#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

namespace paths {

// How the file system compares names: Windows ignores letter case.
#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity nameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity nameCase = Qt::CaseSensitive;
#endif

// True when ancestor is path itself or one of the directories above it (both "/"-separated).
inline bool isSameOrAncestor(const QString& ancestor, const QString& path) {
    if (QString::compare(ancestor, path, nameCase) == 0) {
        return true;
    }
    const QString prefix = ancestor.endsWith(QLatin1Char('/')) ? ancestor : ancestor + '/';
    return path.startsWith(prefix, nameCase);
}

// The per-user, application-local data directory (not created by the query).
QString dataDir();
// Creates the folder at path when missing (a failure is logged: the write that follows reports
// it to the user); returns path.
QString ensureDirectory(const QString& path);

// From now on the files and directories this process creates are its user's only, whatever
// the user's file-creation mask (which userFileMask() keeps for the programs it starts).
void keepFilesPrivate();
int userFileMask();

// A program's file or one of its directories (up to the data directory, or its own directory
// for a program elsewhere) that another user owns or can write, or an empty string. Always
// empty on Windows, where the per-user folder is closed to others.
QString changeableByOthers(const QString& program);

// The download server compiled into this build, unless a test program has set another one.
QUrl defaultServerUrl();
void setDefaultServerUrl(const QUrl& url);

// base + path, where path begins with "/".
QUrl serverDocument(const QUrl& base, const QString& path);

inline QString recordFileName() {
    return QStringLiteral("/latestVersion.json");
}
inline QString updateSubdir() {
    return QStringLiteral("/update");
}
// Where the record waits while the installation is being replaced (relative to the data
// directory).
inline QString recordAsideName() {
    return QStringLiteral("/update/record/latestVersion.json");
}
inline QString installedUpdaterName() {
    return QStringLiteral("/qv_updater.exe");
}
inline QString separateUpdateProgram() {
    return QStringLiteral("/bin/qv_update.exe");
}

// The names directly in the data directory that belong to the updater itself (the record, the
// hash list, the download folder, the separate update program's folder, the installed copy of
// the updater and its 7-Zip): never an installation directory nor inside one.
inline QStringList dataDirOwnNames() {
    return {QStringLiteral("latestVersion.json"),
            QStringLiteral("hashlist.json"),
            QStringLiteral("update"),
            QStringLiteral("bin"),
            QStringLiteral("qv_updater.exe"),
            QStringLiteral("qv_updater.lock"),
            QStringLiteral("7Z")};
}

} // namespace paths
