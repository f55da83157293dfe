#pragma once

#include <QAtomicInteger>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QVector>

// Hashes a set of files on a pool of worker threads (one per core by default) while the
// creating thread goes on with its event loop. Each worker holds one open file and one block
// at a time, so memory does not grow with the files' sizes, their number or the core count.
// One object serves one set; it reports the end with finished(), on its own thread.
class FileHasher : public QObject {
    Q_OBJECT
public:
    struct Result {
        QString path;
        bool read = false;  // false: the file could not be opened or read
        QString digest;     // lowercase hexadecimal SHA-256 of the file's bytes
        qint64 size = -1;   // size and modification time seen before reading: a file that
        QDateTime modified; // differs from them now has changed since it was hashed
    };

    explicit FileHasher(QObject* parent = nullptr);
    // Stops the workers after their current block and waits for them.
    ~FileHasher() override;

    // Starts hashing paths on up to threads workers (at least one). The largest files go first,
    // so one large file does not start last and keep a single core busy at the end.
    void start(const QStringList& paths, int threads = QThread::idealThreadCount());
    // Bytes hashed so far, readable at any time; the sum of the sizes seen at start is total().
    qint64 bytesDone() const { return hashed.loadRelaxed(); }
    qint64 total() const { return totalBytes; }
    // The results in the order of the paths given, once finished (a file not reached before
    // the object was destroyed reads as not read).
    const QVector<Result>& results() const { return done ? finalResults : noResults; }
    // True when the file was read and still has the size and modification time it had then.
    static bool isCurrent(const Result& result);

signals:
    void finished();

private:
    void work();
    // Posts finished() to the object's own thread, from whichever thread ends the work.
    void reportFinished();

    QStringList paths;
    QVector<int> order;
    QVector<Result> finalResults;
    Result* resultSlots = nullptr;
    const QVector<Result> noResults;
    qint64 totalBytes = 0;
    QAtomicInteger<int> next{0};
    QAtomicInteger<int> running{0};
    QAtomicInteger<qint64> hashed{0};
    QAtomicInteger<int> stopping{0};
    bool done = false;
    QThreadPool pool;
};
