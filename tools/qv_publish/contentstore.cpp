// Writing a release's side of the content store: its objects, made or proven on every core, and
// its manifest, which can be compared with a served one. prune.cpp removes what no entry names
// any more.

#include "contentstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QSet>
#include <QThread>
#include <QUrl>
#include <atomic>
#include <thread>
#include <vector>

#include "console.h"
#include "deltastore.h"
#include "documents.h"
#include "manifest.h"
#include "serverfiles.h"
#include "sha256.h"
#include "storedobject.h"
#include "tree.h"
#include "wholefile.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace publish {

const char* const ManifestFolder = "manifests";
const char* const StoreFolder = "store";

QString objectName(const QString& sha256) {
    return QStringLiteral("%1/%2/%3").arg(QLatin1String(StoreFolder), sha256.left(2), sha256);
}

namespace {
QByteArray manifestText(const QJsonArray& files) {
    const QJsonObject manifest{{QStringLiteral("format"), 1},
                               {QStringLiteral("store"), QStringLiteral("../store/")},
                               {QStringLiteral("files"), files}};
    return QJsonDocument(manifest).toJson(QJsonDocument::Compact);
}

// Files up to this size are read, hashed and packed in memory, many at a time; larger ones are
// streamed through storedobject::pack.
constexpr qint64 InMemory = 4 * 1024 * 1024;

// On Linux the objects are flushed to the disk together (FileSystemSync) before the version
// list can name them; elsewhere each one as it is written.
constexpr bool SyncEachObject = !SyncsFileSystem;

struct Item {
    QString path;
    qint64 size = 0;
    QString sha256;
    qint64 packed = 0;
    bool added = false;   // there was no object before
    bool written = false; // packed by this publish
    bool done = false;    // its object is there as it should be
};

// Makes the object of one file, or proves the one there; an empty string or why not.
QString storeItem(const QString& installDir, const QString& serverDir, Item* item,
                  const QSet<QString>& proven, StoreFolders& folders) {
    const QString source = QDir(installDir).filePath(item->path);
    QByteArray bytes;
    QString why;
    if (item->size <= InMemory) {
        QFile file(source);
        if (!file.open(QIODevice::ReadOnly)) {
            return QStringLiteral("cannot read %1: %2").arg(source, file.errorString());
        }
        bytes = file.readAll();
        if (bytes.size() != item->size) {
            return QStringLiteral("cannot read %1: %2 of %3 bytes read")
                .arg(source)
                .arg(bytes.size())
                .arg(item->size);
        }
        Sha256 hash;
        hash.addData(bytes);
        item->sha256 = hash.hexResult();
    } else if (!Sha256::hashFile(source, &item->sha256, {}, &why)) {
        return QStringLiteral("cannot read %1: %2").arg(source, why);
    }
    const QString object = QDir(serverDir).filePath(objectName(item->sha256));
    if (proven.contains(item->sha256)) {
        item->packed = QFileInfo(object).size();
        return QString();
    }
    why = linkProblem(object);
    if (!why.isEmpty()) {
        return why;
    }
    const QFileInfo existing(object);
    item->added = !existing.exists();
    // An object already there came from another release; it is kept only when it unpacks
    // to this file's bytes.
    if (existing.isFile() && storedobject::verify(object, item->size, item->sha256).isEmpty()) {
        item->packed = existing.size();
        return QString();
    }
    why = folders.prepare(existing.path());
    if (!why.isEmpty()) {
        return why;
    }
    item->written = true;
    if (item->size > InMemory) {
        why = storedobject::pack(source, object, &item->packed);
        return why.isEmpty() ? QString()
                             : QStringLiteral("cannot store %1: %2").arg(item->path, why);
    }
    const QByteArray packed = storedobject::packBytes(bytes);
    if (packed.isEmpty()) {
        return QStringLiteral("cannot store %1: zlib cannot pack it").arg(item->path);
    }
    item->packed = packed.size();
    WholeFile out(object);
    if (!out.open() || !out.write(packed) || !out.commit(SyncEachObject)) {
        return QStringLiteral("cannot store %1: %2").arg(item->path, out.errorString());
    }
    return QString();
}
// Stores (or proves) the objects of items, files under dir, on every core: objects whose
// digests are in proven are kept as they are. progress(bytes done) is called on this thread.
// The first failure stops the others.
bool storeItems(const QString& dir, const QString& serverDir, QVector<Item>* items,
                const QSet<QString>& proven, const std::function<void(qint64)>& progress,
                QString* error, bool background = false) {
    StoreFolders folders;
    QMutex errorLock;
    Sha256::prepare();
    std::atomic<int> next{0};
    std::atomic<qint64> done{0};
    std::atomic_bool stop{false};
    QString firstError;
    auto work = [&](bool reporting) {
        if (background) {
            // Only what 7-Zip leaves idle: it must not wait for these threads.
#ifdef Q_OS_WIN
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
#else
            setpriority(PRIO_PROCESS, 0, 19); // this thread only, on Linux
#endif
        }
        for (int i = next++; i < items->size() && !stop; i = next++) {
            const QString why = storeItem(dir, serverDir, &(*items)[i], proven, folders);
            if (!why.isEmpty()) {
                QMutexLocker locker(&errorLock);
                if (!stop.exchange(true)) {
                    firstError = why;
                }
                return;
            }
            (*items)[i].done = true;
            done += items->at(i).size;
            if (reporting && progress) {
                progress(done);
            }
        }
    };
    std::vector<std::thread> workers;
    for (int i = 1; i < QThread::idealThreadCount(); ++i) {
        workers.emplace_back(work, false);
    }
    work(true);
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (stop) {
        *error = firstError;
    }
    return !stop;
}
} // namespace

Prefill prefillStore(const QString& sourceDir, const QString& serverDir) {
    Prefill prefill;
    QVector<Item> items;
    for (const QString& path : tree::listEntries(sourceDir)) {
        const QFileInfo info(QDir(sourceDir).filePath(path));
        if (info.isSymLink() || !info.isFile()) {
            return prefill; // no manifest: nothing to store
        }
        Item item;
        item.path = path;
        item.size = info.size();
        items.append(item);
    }
    QString error;
    storeItems(sourceDir, serverDir, &items, {}, {}, &error, true);
    for (const Item& item : items) {
        const QString object = QDir(serverDir).filePath(objectName(item.sha256));
        if (item.sha256.isEmpty() || !QFileInfo(object).isFile()) {
            continue;
        }
        if (item.added) {
            prefill.added << object;
        }
        // A failure stops the others with items half done: only finished ones count.
        if (item.done) {
            prefill.proven.insert(item.sha256);
        }
        prefill.written += item.written ? 1 : 0;
    }
    return prefill;
}

bool writeStore(const QString& installDir, const QString& serverDir, Reporter& reporter,
                StoreResult* result, QString* error, const Prefill& prefill,
                const EarlierContents& earlier) {
    *result = StoreResult();
    // Objects made ahead for a tree that gets no manifest are named by nothing.
    auto noManifest = [&](const QString& why) {
        result->added = prefill.added;
        removeAdded(serverDir, *result);
        result->added.clear();
        result->skipped = why;
        return true;
    };
    QVector<Item> items;
    qint64 total = 0;
    for (const QString& path : tree::listEntries(installDir)) {
        const QFileInfo info(QDir(installDir).filePath(path));
        if (info.isSymLink() || !info.isFile()) {
            return noManifest(QStringLiteral("\"%1\" is not a plain file (a link, a FIFO or a "
                                             "device): a manifest lists files only")
                                  .arg(path));
        }
        Item item;
        item.path = path;
        item.size = info.size();
        items.append(item);
        total += info.size();
    }
    // The paths are judged by the updater's own rules before anything is packed.
    QJsonArray draft;
    for (const Item& item : items) {
        draft.append(QJsonObject{{QStringLiteral("path"), item.path},
                                 {QStringLiteral("size"), item.size},
                                 {QStringLiteral("sha256"), QString(64, QLatin1Char('0'))},
                                 {QStringLiteral("packed"), 1}});
    }
    QString problem;
    if (!documents::parseManifest(manifestText(draft), &problem)) {
        return noManifest(QStringLiteral("the updater would refuse its manifest: ") + problem);
    }
    for (const char* folder : {StoreFolder, ManifestFolder}) {
        const QString link = linkProblem(QDir(serverDir).filePath(QLatin1String(folder)));
        if (!link.isEmpty()) {
            *error = link;
            return false;
        }
    }

    result->added = prefill.added;
    result->written = prefill.written;
    const QString step = QStringLiteral("Filling the content store");
    const bool stored = storeItems(
        installDir, serverDir, &items, prefill.proven,
        [&](qint64 done) { reporter.progress(step, total > 0 ? int(done * 100 / total) : 100); },
        error);
    QVector<StoredFile> files;
    for (const Item& item : items) {
        const QString object = QDir(serverDir).filePath(objectName(item.sha256));
        if (item.added && !item.sha256.isEmpty() && QFileInfo::exists(object)) {
            result->added << object;
        }
        result->written += item.written ? 1 : 0;
        result->packedBytes += item.packed;
        files << StoredFile{item.path, item.size, item.sha256, item.packed};
    }
    QHash<int, QJsonArray> deltas;
    if (!stored ||
        !storeFileDeltas(installDir, serverDir, files, earlier, reporter, result, &deltas, error)) {
        return false;
    }
    QJsonArray listed;
    for (int i = 0; i < files.size(); ++i) {
        const StoredFile& file = files.at(i);
        QJsonObject entry{{QStringLiteral("path"), file.path},
                          {QStringLiteral("size"), file.size},
                          {QStringLiteral("sha256"), file.sha256},
                          {QStringLiteral("packed"), file.packed}};
        if (deltas.contains(i)) {
            entry.insert(QStringLiteral("deltas"), deltas.value(i));
        }
        listed.append(entry);
    }
    result->files = items.size();
    result->manifest = manifestText(listed);
    Sha256 digest;
    digest.addData(result->manifest);
    result->manifestSha256 = digest.hexResult();
    result->manifestName =
        QStringLiteral("%1/%2.json").arg(QLatin1String(ManifestFolder), result->manifestSha256);
    if (!storeManifestObject(serverDir, earlier.manifests, reporter, result, error)) {
        return false;
    }
    const QString manifestPath = QDir(serverDir).filePath(result->manifestName);
    if (!QFileInfo::exists(manifestPath)) {
        result->added << manifestPath;
    }
    if (!QDir().mkpath(QFileInfo(manifestPath).path()) ||
        !WholeFile::writeAll(manifestPath, result->manifest, error)) {
        if (error->isEmpty()) {
            *error = QStringLiteral("cannot create %1").arg(QFileInfo(manifestPath).path());
        }
        return false;
    }
    return true;
}

void removeAdded(const QString& serverDir, const StoreResult& result) {
    for (const QString& file : result.added) {
        QFile::remove(file);
        // Up to the server directory, the folders left empty (rmdir refuses the others).
        QDir folder = QFileInfo(file).dir();
        while (QDir::cleanPath(folder.absolutePath()) != QDir::cleanPath(serverDir) &&
               QDir().rmdir(folder.absolutePath())) {
            folder.cdUp();
        }
    }
}

QString servedFile(const QString& serverDir, const QJsonObject& entry, const QUrl& url) {
    const QUrl archive(entry.value(QStringLiteral("download_url")).toString(), QUrl::TolerantMode);
    if (!archive.isValid() || archive.isRelative() || !url.isValid() || url.hasQuery() ||
        url.hasFragment()) {
        return QString();
    }
    const QString root = archive.resolved(QUrl(QStringLiteral("."))).toString(QUrl::FullyEncoded);
    const QString target = url.adjusted(QUrl::NormalizePathSegments).toString(QUrl::FullyEncoded);
    if (!root.endsWith(QLatin1Char('/')) || !target.startsWith(root)) {
        return QString();
    }
    const QString relative = QUrl::fromPercentEncoding(target.mid(root.size()).toUtf8());
    if (relative.isEmpty() || relative.contains(QLatin1Char('\\')) ||
        relative.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
        return QString();
    }
    return QDir(serverDir).filePath(relative);
}

} // namespace publish
