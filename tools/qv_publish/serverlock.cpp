#include "serverlock.h"

#include <QDir>

#include "console.h"

namespace publish {

namespace {
QString lockPath(const QString& serverDir) {
    return QDir::cleanPath(QDir(serverDir).absoluteFilePath(QStringLiteral(".qv_publish.lock")));
}
} // namespace

ServerLock::ServerLock(const QString& serverDir)
    : path(lockPath(serverDir))
    , lock(path) {}

bool ServerLock::acquire(Reporter& reporter, QString* error) {
    // Qt holds the file with an operating-system lock as well (flock, or a handle that does not
    // share deletion), so it is taken over only from a process that has ended on this machine;
    // never for its age, as packing a large release takes long.
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0) && lock.error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host;
        QString program;
        lock.getLockInfo(&pid, &host, &program);
        reporter.info(QStringLiteral("Waiting for another qv_publish in this directory (process %1 "
                                     "on %2) to finish; if none runs any more, remove %3")
                          .arg(pid)
                          .arg(host, QDir::toNativeSeparators(path)));
        lock.tryLock(-1);
    }
    if (lock.isLocked()) {
        return true;
    }
    *error = QStringLiteral("cannot lock the server directory: %1 cannot be created (%2)")
                 .arg(QDir::toNativeSeparators(path), lock.error() == QLockFile::PermissionError
                                                          ? QStringLiteral("no permission")
                                                          : QStringLiteral("unknown error"));
    return false;
}

bool ServerLock::holds(const QString& serverDir) const {
    return lock.isLocked() && path == lockPath(serverDir);
}

QString ServerLock::file() const {
    return QDir::toNativeSeparators(path);
}

} // namespace publish
