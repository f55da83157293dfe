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
    Sha256::prepare();
    paths = files;
    finalResults.resize(paths.size());
    // The workers read the lists and write their own result slots only: nothing may detach
    // (copy) a container while they run.
    resultSlots = finalResults.data();
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
        reportFinished();
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
        const int index = order.at(slot);
        const QString& path = paths.at(index);
        Result& result = resultSlots[index];
        result.path = path;
        const QFileInfo info(path);
        result.size = info.size();
        result.modified = info.lastModified();
        result.read = Sha256::hashFile(path, &result.digest, [this](qint64 block) {
            hashed.fetchAndAddRelaxed(block);
            return !stopping.loadRelaxed();
        });
    }
    // The last worker out reports on the object's own thread; each result slot was written by
    // one worker only, and the queued call orders those writes before the reads that follow.
    if (running.fetchAndAddOrdered(-1) == 1) {
        reportFinished();
    }
}

void FileHasher::reportFinished() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            done = true;
            emit finished();
        },
        Qt::QueuedConnection);
}

bool FileHasher::isCurrent(const Result& result) {
    const QFileInfo info(result.path);
    return result.read && info.exists() && info.size() == result.size &&
           info.lastModified() == result.modified;
}
