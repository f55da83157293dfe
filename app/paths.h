#pragma once

#include <QString>
#include <QUrl>

namespace paths {

// The per-user, application-local data directory (not created by the query).
QString dataDir();

// The download server compiled into this build.
QUrl defaultServerUrl();

// base + path, where path begins with "/".
QUrl serverDocument(const QUrl& base, const QString& path);

inline QString recordFileName() {
    return QStringLiteral("/latestVersion.json");
}
inline QString updateSubdir() {
    return QStringLiteral("/update");
}
inline QString installedUpdaterName() {
    return QStringLiteral("/qv_updater.exe");
}
inline QString separateUpdateProgram() {
    return QStringLiteral("/bin/qv_update.exe");
}

} // namespace paths
