#include "filehasher.h"

#include <QAtomicInteger>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <algorithm>
#include <thread>

#include "sha256.h"

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// What the workers share with each other and with the object, which may go before they do.
struct FileHasher::Work {
    QStringList paths;
    QVector<int> order;
    // Sized before the workers start; each slot is written by one worker only.
    QVector<Result> results;
    QAtomicInteger<int> next{0};
    QAtomicInteger<int> running{0};
    QAtomicInteger<qint64> hashed{0};
    QAtomicInteger<int> stopping{0};
    QMutex ownerLock;
    FileHasher* owner = nullptr; // cleared by the object's destructor
};

namespace {
// Opens path for reading when it is a regular file; *special tells a FIFO, a device or a
// socket (none of which is opened: opening a FIFO waits for a writer, and a device may act on
// being opened) from a file that cannot be opened.
bool openRegular(const QString& path, QFile* file, bool* special) {
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    *special = info.exists() && !info.isFile();
    file->setFileName(path);
    return !*special && file->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
#else
    const QByteArray name = QFile::encodeName(path);
    struct stat status;
    if (::stat(name.constData(), &status) != 0) {
        return false;
    }
    *special = !S_ISREG(status.st_mode);
    if (*special) {
        return false;
    }
    // Replaced by a FIFO in the meantime, it still does not wait, and is told by its type.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *special = true;
        ::close(fd);
        return false;
    }
    return file->open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                      QFileDevice::AutoCloseHandle);
#endif
}
} // namespace

FileHasher::FileHasher(QObject* parent)
    : QObject(parent) {}

FileHasher::~FileHasher() {
    if (shared) {
        shared->stopping.storeRelaxed(1);
        const QMutexLocker locker(&shared->ownerLock);
        shared->owner = nullptr;
    }
}

qint64 FileHasher::bytesDone() const {
    return shared ? shared->hashed.loadRelaxed() : 0;
}

void FileHasher::start(const QStringList& files, int threads) {
    if (shared) {
        return;
    }
    Sha256::prepare();
    shared = std::make_shared<Work>();
    shared->owner = this;
    shared->paths = files;
    shared->results.resize(files.size());
    QVector<qint64> sizes(files.size());
    for (int i = 0; i < files.size(); ++i) {
        sizes[i] = QFileInfo(files[i]).size();
        totalBytes += sizes[i];
        shared->order.append(i);
    }
    std::stable_sort(shared->order.begin(), shared->order.end(),
                     [&](int a, int b) { return sizes[a] > sizes[b]; });
    const int workers = files.isEmpty() ? 1 : qBound(1, threads, files.size());
    shared->running.storeRelaxed(workers);
    for (int i = 0; i < workers; ++i) {
        std::thread(work, shared).detach();
    }
}

void FileHasher::work(const std::shared_ptr<Work>& shared) {
    Result* const outcomes = shared->results.data();
    for (;;) {
        const int slot = shared->next.fetchAndAddRelaxed(1);
        if (slot >= shared->order.size() || shared->stopping.loadRelaxed()) {
            break;
        }
        const int index = shared->order.at(slot);
        Result& result = outcomes[index];
        result.path = shared->paths.at(index);
        const QFileInfo info(result.path);
        result.size = info.size();
        result.modified = info.lastModified();
        QFile file;
        if (openRegular(result.path, &file, &result.special)) {
            result.read =
                Sha256::hashDevice(&file, result.size, &result.digest, [&shared](qint64 block) {
                    shared->hashed.fetchAndAddRelaxed(block);
                    return !shared->stopping.loadRelaxed();
                });
        }
    }
    // Each result slot was written by one worker only; the ordered count and the queued call
    // order those writes before the owner's reads that follow.
    if (shared->running.fetchAndAddOrdered(-1) != 1) {
        return;
    }
    const QMutexLocker locker(&shared->ownerLock);
    if (FileHasher* owner = shared->owner) {
        // Posted to the object: it is dropped if the object goes before it runs.
        QMetaObject::invokeMethod(
            owner,
            [owner, shared] {
                owner->finalResults = shared->results;
                emit owner->finished();
            },
            Qt::QueuedConnection);
    }
}

bool FileHasher::isCurrent(const Result& result) {
    const QFileInfo info(result.path);
    return result.read && info.exists() && info.size() == result.size &&
           info.lastModified() == result.modified;
}
