#include "paths.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "buildconfig.h"

namespace paths {

QString ensureDirectory(const QString& path) {
    if (!QDir(path).exists() && !QDir().mkpath(path)) {
        qDebug() << "Ошибка при создании папки:" << path;
    }
    return path;
}

QString dataDir() {
    // Qt takes a relative XDG_DATA_HOME as it is: made absolute here (the updater never changes
    // its working directory), so that every path built on it names the same files, and the
    // installation's listing yields the paths its checks compare.
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::DataLocation);
    return dir.isEmpty() ? dir : QDir::cleanPath(QDir::current().absoluteFilePath(dir));
}

namespace {
int userMask = -1;
} // namespace

void keepFilesPrivate() {
#ifndef Q_OS_WIN
    userMask = int(umask(S_IRWXG | S_IRWXO));
#endif
}

int userFileMask() {
#ifndef Q_OS_WIN
    if (userMask < 0) {
        const mode_t mask = umask(0);
        umask(mask);
        return int(mask);
    }
#endif
    return userMask;
}

QString changeableByOthers(const QString& program) {
#ifdef Q_OS_WIN
    Q_UNUSED(program)
#else
    // Links resolved: what counts is where the files are.
    const QString data = QFileInfo(dataDir()).canonicalFilePath();
    QString path = QFileInfo(program).canonicalFilePath();
    const bool inside = !data.isEmpty() && !path.isEmpty() && isSameOrAncestor(data, path);
    for (int level = 0; !path.isEmpty(); ++level) {
        struct stat status;
        if (::stat(QFile::encodeName(path).constData(), &status) != 0 ||
            (status.st_uid != geteuid() && status.st_uid != 0) ||
            (status.st_mode & (S_IWGRP | S_IWOTH))) {
            return path;
        }
        if (inside ? path == data : level == 1) {
            break;
        }
        path = QFileInfo(path).path();
    }
#endif
    return QString();
}

namespace {
QUrl serverInUse = QUrl(QStringLiteral(QUORVEX_SERVER_URL));
} // namespace

QUrl defaultServerUrl() {
    return serverInUse;
}

void setDefaultServerUrl(const QUrl& url) {
    serverInUse = url;
}

QUrl serverDocument(const QUrl& base, const QString& path) {
    QString text = base.toString(QUrl::FullyEncoded);
    while (text.endsWith(QLatin1Char('/'))) {
        text.chop(1);
    }
    return QUrl(text + path);
}

} // namespace paths
