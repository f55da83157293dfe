#include "filehasher.h"

#include <QFileInfo>
#include <algorithm>

#include "sha256.h"

FileHasher::FileHasher(QObject* parent)
    : QObject(parent) {}

FileHasher::~FileHasher() {
    stopping.storeRelaxed(1);
    pool.waitForDone();
}

void FileHasher::start(const QStringList& files, int threads) {
    if (!paths.isEmpty() || done) {
        return;
    }
    paths = files;
    finalResults.resize(paths.size());
    QVector<qint64> sizes(paths.size());
    for (int i = 0; i < paths.size(); ++i) {
        const QFileInfo info(paths[i]);
        sizes[i] = info.size();
        totalBytes += sizes[i];
        order.append(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return sizes[a] > sizes[b]; });
    const int workers = qBound(1, threads, qMax(1, paths.size()));
    if (paths.isEmpty()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                done = true;
                emit finished();
            },
            Qt::QueuedConnection);
        return;
    }
    pool.setMaxThreadCount(workers);
    running.storeRelaxed(workers);
    for (int i = 0; i < workers; ++i) {
        pool.start([this] { work(); });
    }
}

void FileHasher::work() {
    for (;;) {
        const int slot = next.fetchAndAddRelaxed(1);
        if (slot >= order.size() || stopping.loadRelaxed()) {
            break;
        }
        const int index = order[slot];
        Result& result = finalResults[index];
        result.path = paths[index];
        const QFileInfo info(paths[index]);
        result.size = info.size();
        result.modified = info.lastModified();
        result.read = Sha256::hashFile(paths[index], &result.digest, [this](qint64 block) {
            hashed.fetchAndAddRelaxed(block);
            return !stopping.loadRelaxed();
        });
    }
    // The last worker out reports on the object's own thread; each result slot was written by
    // one worker only, and the queued call orders those writes before the reads that follow.
    if (running.fetchAndAddOrdered(-1) == 1) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                done = true;
                emit finished();
            },
            Qt::QueuedConnection);
    }
}

bool FileHasher::isCurrent(const Result& result) {
    const QFileInfo info(result.path);
    return result.read && info.exists() && info.size() == result.size &&
           info.lastModified() == result.modified;
}
