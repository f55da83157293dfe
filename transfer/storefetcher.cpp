#include "storefetcher.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QNetworkAccessManager>
#include <QSet>
#include <atomic>
#include <deque>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

#include "delta.h"
#include "downloader.h"
#include "network.h"
#include "storedobject.h"

// One object of the store: fetched once, then unpacked into every target that holds its bytes.
struct StoreFetcher::Object {
    QUrl url;
    QString name; // the downloaded object's file name in the work directory
    qint64 packed = 0;
    QVector<int> items;
    bool delta = false; // the delta of its one item, until it fails
    qint64 memory = 0;  // what applying the delta holds (its base and target), while started
    qint64 received = 0;
    Downloader* download = nullptr; // while it is being fetched
    std::thread unpacking;          // while it is being unpacked
};

struct StoreFetcher::Run {
    QVector<Item> items;
    // Filled before the first transfer starts, never resized afterwards: the transfers and the
    // unpacking threads refer to their object by its index.
    std::vector<Object> objects;
    QString workDir;
    std::deque<int> waiting; // objects not started yet, in their order
    // Names of the objects in progress: two addresses that end in the same name take turns in
    // the work directory.
    QSet<QString> busy;
    int active = 0;    // objects being fetched or unpacked
    qint64 memory = 0; // of the deltas among them, what applying them holds
    int unpacking = 0; // of them, those on a thread
    int completed = 0;
    qint64 received = 0;
    qint64 total = 0;
    // Set at the first fault, at a cancel and by the destructor: the threads stop unpacking.
    std::atomic_bool stop{false};
    bool failed = false;
    bool ended = false; // finished() is sent or on its way
    QString error;
    QNetworkAccessManager manager;
};

namespace {
// An object's time: a document's, and a second for every MinThroughput bytes of it. A server
// that keeps a transfer alive with a trickle cannot hold the update longer.
constexpr qint64 MinThroughput = 4096;

int timeLimit(qint64 packed) {
    const qint64 ms =
        Downloader::documentTimeLimit() + qMax<qint64>(0, packed) * 1000 / MinThroughput;
    return int(qMin<qint64>(ms, std::numeric_limits<int>::max()));
}

QString describe(const QUrl& url, const QString& why) {
    return url.toDisplayString() + QStringLiteral(": ") + why;
}
} // namespace

StoreFetcher::StoreFetcher(QObject* parent)
    : QObject(parent) {}

StoreFetcher::~StoreFetcher() {
    if (!run) {
        return;
    }
    run->stop = true;
    stopTransfers();
    // Unpacking stops within a block; the compressed objects and the incomplete targets go.
    for (Object& object : run->objects) {
        if (object.unpacking.joinable()) {
            object.unpacking.join();
        }
    }
}

void StoreFetcher::setConcurrency(int count) {
    transfers = qMax(1, count);
    if (run) {
        launch();
    }
}

QString StoreFetcher::errorString() const {
    return run ? run->error : QString();
}

void StoreFetcher::start(const QVector<Item>& items, const QString& workDir) {
    if (run) {
        qWarning() << "Загрузка файлов из хранилища уже запущена";
        return;
    }
    run = std::make_unique<Run>();
    run->items = items;
    run->workDir = workDir;
    QHash<QString, int> byUrl;
    for (int i = 0; i < items.size(); ++i) {
        const bool delta = !items[i].deltaUrl.isEmpty();
        const QUrl url = delta ? items[i].deltaUrl : items[i].url;
        const QString key = url.toString(QUrl::FullyEncoded);
        int index = delta ? -1 : byUrl.value(key, -1);
        if (index < 0) {
            index = int(run->objects.size());
            if (!delta) {
                byUrl.insert(key, index);
            }
            Object object;
            object.url = url;
            object.name = Downloader::targetFileName(object.url);
            object.packed = delta ? items[i].deltaPacked : items[i].packed;
            object.delta = delta;
            object.memory = delta ? items[i].baseSize + items[i].size : 0;
            run->total += object.packed;
            run->objects.push_back(std::move(object));
            run->waiting.push_back(index);
        }
        run->objects[index].items.append(i);
    }
    if (run->objects.empty()) {
        run->ended = true;
        QMetaObject::invokeMethod(
            this, [this] { emit finished(true); }, Qt::QueuedConnection);
        return;
    }
    run->manager.setTransferTimeout(Downloader::defaultTransferTimeout());
    network::reportProblems(&run->manager);
    launch();
}

void StoreFetcher::launch() {
    while (!run->failed && run->active < transfers) {
        auto next = run->waiting.begin();
        const auto blocked = [this](const Object& object) {
            return run->busy.contains(object.name) ||
                   (object.delta && run->memory > 0 &&
                    run->memory + object.memory > delta::MaxApplyMemory);
        };
        while (next != run->waiting.end() && blocked(run->objects[*next])) {
            ++next;
        }
        if (next == run->waiting.end()) {
            return;
        }
        const int index = *next;
        run->waiting.erase(next);
        Object& object = run->objects[index];
        auto* download = new Downloader;
        download->useManager(&run->manager);
        connect(download, &Downloader::updateDownloadProgress, this, [this, index](qint64 got) {
            Object& object = run->objects[index];
            got = qBound<qint64>(0, got, object.packed);
            run->received += got - object.received;
            object.received = got;
            emit progress(run->received, run->total);
        });
        connect(download, &Downloader::downloadFinished, this,
                [this, index](bool ok) { downloaded(index, ok); });
        if (!download->startDownload(run->workDir, object.url, object.packed,
                                     timeLimit(object.packed))) {
            const QString why = download->errorString();
            delete download;
            fail(describe(object.url, why));
            return;
        }
        object.download = download;
        run->busy.insert(object.name);
        run->memory += object.delta ? object.memory : 0;
        ++run->active;
    }
}

void StoreFetcher::downloaded(int index, bool ok) {
    Object& object = run->objects[index];
    Downloader* download = object.download;
    object.download = nullptr;
    // Still inside its own signal: it goes once that has returned.
    download->deleteLater();
    if (!ok) {
        --run->active;
        run->busy.remove(object.name);
        run->memory -= object.delta ? object.memory : 0;
        if (!wholeInstead(index, download->errorString())) {
            fail(describe(object.url, download->errorString()));
        }
        return;
    }
    struct Target {
        QString path;
        qint64 size;
        QString sha256;
        QString base; // set for a delta
        qint64 baseSize;
    };
    QVector<Target> targets;
    for (int item : object.items) {
        const Item& it = run->items[item];
        targets.append(
            {it.target, it.size, it.sha256, object.delta ? it.base : QString(), it.baseSize});
    }
    const QString source = run->workDir + QDir::separator() + object.name;
    const std::atomic_bool* stop = &run->stop;
    // The thread ends before the object goes (the destructor waits for it), so it may post its
    // outcome to the object; a post that arrives after a destruction is dropped with the object.
    try {
        object.unpacking = std::thread([this, index, source, targets, stop] {
            QString problem;
            for (const Target& target : targets) {
                problem = target.base.isEmpty()
                              ? storedobject::unpack(source, target.path, target.size,
                                                     target.sha256, stop)
                              : delta::apply(source, target.base, target.baseSize, target.path,
                                             target.size, target.sha256, stop);
                if (!problem.isEmpty()) {
                    break;
                }
            }
            QFile::remove(source);
            QMetaObject::invokeMethod(
                this, [this, index, problem] { unpacked(index, problem); }, Qt::QueuedConnection);
        });
    } catch (const std::system_error& error) {
        QFile::remove(source);
        --run->active;
        fail(describe(object.url, QStringLiteral("cannot start unpacking: ") +
                                      QString::fromLocal8Bit(error.what())));
        return;
    }
    ++run->unpacking;
}

void StoreFetcher::unpacked(int index, const QString& problem) {
    Object& object = run->objects[index];
    object.unpacking.join();
    --run->unpacking;
    --run->active;
    run->busy.remove(object.name);
    run->memory -= object.delta ? object.memory : 0;
    if (!problem.isEmpty()) {
        if (wholeInstead(index, problem)) {
            return;
        }
        fail(describe(object.url, problem));
    }
    if (run->failed) {
        // The set ends once nothing writes any more.
        if (run->unpacking == 0 && !run->ended) {
            run->ended = true;
            emit finished(false);
        }
        return;
    }
    if (++run->completed == int(run->objects.size())) {
        run->ended = true;
        emit finished(true);
        return;
    }
    launch();
}

bool StoreFetcher::wholeInstead(int index, const QString& why) {
    Object& object = run->objects[index];
    if (!object.delta || run->failed || run->ended) {
        return false;
    }
    const Item& item = run->items[object.items.first()];
    qWarning() << "Дельта не применена, файл загружается целиком:" << object.url << why;
    object.delta = false;
    object.url = item.url;
    object.name = Downloader::targetFileName(object.url);
    run->received -= object.received;
    run->total += item.packed - object.packed;
    object.received = 0;
    object.packed = item.packed;
    run->waiting.push_front(index);
    emit progress(run->received, run->total);
    launch();
    return true;
}

void StoreFetcher::cancel() {
    if (run) {
        fail(QStringLiteral("cancelled"));
    }
}

void StoreFetcher::fail(const QString& why) {
    if (run->failed || run->ended) {
        return;
    }
    qWarning() << "Ошибка загрузки из хранилища:" << why;
    run->failed = true;
    run->error = why;
    run->stop = true;
    stopTransfers();
    if (run->unpacking == 0) {
        run->ended = true;
        QMetaObject::invokeMethod(
            this, [this] { emit finished(false); }, Qt::QueuedConnection);
    }
}

void StoreFetcher::stopTransfers() {
    for (Object& object : run->objects) {
        if (Downloader* download = object.download) {
            object.download = nullptr;
            --run->active;
            // This may run inside one of its signals (a receiver of progress() cancels): it is
            // stopped at once, its partial file removed, and deleted once back in the loop.
            download->disconnect(this);
            download->cancelDownload();
            download->deleteLater();
        }
    }
}
