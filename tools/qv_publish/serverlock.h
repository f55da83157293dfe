#pragma once

// The lock that lets one qv_publish at a time work in a server directory: a publish holds it from
// reading the version list to its last move, a check while it repairs and reads.

#include <QLockFile>
#include <QString>

namespace publish {

class Reporter;

class ServerLock {
public:
    explicit ServerLock(const QString& serverDir);
    // Waits while another process holds the lock, saying so once; false with *error when the
    // lock file cannot be made.
    bool acquire(Reporter& reporter, QString* error);
    // True while this object holds the lock of serverDir.
    bool holds(const QString& serverDir) const;
    // The lock file, as the messages name it.
    QString file() const;

private:
    QString path;
    QLockFile lock;
};

} // namespace publish
