#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>
#include <memory>

// Hashes a set of files on worker threads (one per core by default) while the creating thread
// goes on with its event loop. Each worker holds one open file and one block at a time, so
// memory does not grow with the files' sizes, their number or the core count. Only regular
// files are read (a link counts by what it points to), each up to the size it had when its
// reading began. One object serves one set; it reports the end with finished(), on its own
// thread.
class FileHasher : public QObject {
    Q_OBJECT
public:
    struct Result {
        QString path;
        bool read = false;    // false: the file could not be opened or read
        bool special = false; // not a regular file (a FIFO, a device...): never read
        QString digest;       // lowercase hexadecimal SHA-256 of the file's bytes
        qint64 size = -1;     // size and modification time seen before reading: a file that
        QDateTime modified;   // differs from them now has changed since it was hashed
    };

    explicit FileHasher(QObject* parent = nullptr);
    // Asks the workers to stop after their current block and returns at once: a worker held up
    // in a read finishes on its own, touching only state it shares with the other workers.
    ~FileHasher() override;

    // Starts hashing paths on up to threads workers (at least one). The largest files go first,
    // so one large file does not start last and keep a single core busy at the end.
    void start(const QStringList& paths, int threads = QThread::idealThreadCount());
    // Bytes hashed so far, readable at any time; the sum of the sizes seen at start is total().
    qint64 bytesDone() const;
    qint64 total() const { return totalBytes; }
    // The results in the order of the paths given, once finished.
    const QVector<Result>& results() const { return finalResults; }
    // True when the file was read and still has the size and modification time it had then.
    static bool isCurrent(const Result& result);

signals:
    void finished();

private:
    struct Work;
    // The last worker out posts the end to the object, while it still exists.
    static void work(const std::shared_ptr<Work>& shared);

    std::shared_ptr<Work> shared;
    QVector<Result> finalResults;
    qint64 totalBytes = 0;
};
