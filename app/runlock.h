#pragma once

#include <QString>

// One updater at a time works on a data directory. The lock is a file in it, held open while
// the run lasts; the system releases it when the process ends, however it ends. The file also
// tells a run that waited whether the one before it launched the application.
class RunLock {
public:
    // Creates the data directory if missing; an existing one of this user's is closed to others.
    explicit RunLock(const QString& dataDir);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    // Takes the lock unless another run holds it. A lock file that cannot be opened at all (a
    // directory that cannot be written) counts as taken: the run then fails on its own terms.
    bool tryTake();
    // Once taken: the run that held it last ended by launching the application.
    bool previousRunLaunched() const { return launchedBefore; }
    // Once taken: forgets the previous run's launch, for this run's own.
    void begin();
    // Notes in the lock taken by this process that it launched the application.
    static void noteLaunch();

    static QString fileName() { return QStringLiteral("/qv_updater.lock"); }

private:
    void write(const QByteArray& text);

    QString path;
    bool launchedBefore = false;
#ifdef Q_OS_WIN
    void* handle = nullptr;
#else
    int fd = -1;
#endif
};
