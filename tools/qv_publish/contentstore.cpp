#include "contentstore.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <QUrl>
#include <atomic>
#include <thread>
#include <vector>

#include "console.h"
#include "documents.h"
#include "manifest.h"
#include "replacement.h"
#include "serverfiles.h"
#include "serverlock.h"
#include "sha256.h"
#include "storedobject.h"
#include "tree.h"
#include "versionlist.h"
#include "wholefile.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace publish {

const char* const ManifestFolder = "manifests";
const char* const StoreFolder = "store";

namespace {
QString objectName(const QString& sha256) {
    return QStringLiteral("%1/%2/%3").arg(QLatin1String(StoreFolder), sha256.left(2), sha256);
}

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
                  const QSet<QString>& proven,
                  const std::function<QString(const QString& folder)>& prepareFolder) {
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
    if (isLink(object)) {
        return QStringLiteral("%1 is a symbolic link: publish never writes through one")
            .arg(object);
    }
    const QFileInfo existing(object);
    item->added = !existing.exists();
    // An object already there came from another release; it is kept only when it unpacks
    // to this file's bytes.
    if (existing.isFile() && storedobject::verify(object, item->size, item->sha256).isEmpty()) {
        item->packed = existing.size();
        return QString();
    }
    why = prepareFolder(existing.path());
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
    QMutex folderLock;
    QSet<QString> folders;
    auto prepareFolder = [&](const QString& folder) {
        QMutexLocker locker(&folderLock);
        if (folders.contains(folder)) {
            return QString();
        }
        if (isLink(folder)) {
            return QStringLiteral("%1 is a symbolic link: publish never writes through one")
                .arg(folder);
        }
        if (!QDir().mkpath(folder)) {
            return QStringLiteral("cannot create %1").arg(folder);
        }
        folders.insert(folder);
        return QString();
    };
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
            const QString why = storeItem(dir, serverDir, &(*items)[i], proven, prepareFolder);
            if (!why.isEmpty()) {
                QMutexLocker locker(&folderLock);
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
                StoreResult* result, QString* error, const Prefill& prefill) {
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
        const QString path = QDir(serverDir).filePath(QLatin1String(folder));
        if (isLink(path)) {
            *error =
                QStringLiteral("%1 is a symbolic link: publish never writes through one").arg(path);
            return false;
        }
    }

    result->added = prefill.added;
    result->written = prefill.written;
    QString step = QStringLiteral("Filling the content store");
    const bool stored = storeItems(
        installDir, serverDir, &items, prefill.proven,
        [&](qint64 done) { reporter.progress(step, total > 0 ? int(done * 100 / total) : 100); },
        error);
    QJsonArray files;
    for (const Item& item : items) {
        const QString object = QDir(serverDir).filePath(objectName(item.sha256));
        if (item.added && !item.sha256.isEmpty() && QFileInfo::exists(object)) {
            result->added << object;
        }
        result->written += item.written ? 1 : 0;
        result->packedBytes += item.packed;
        files.append(QJsonObject{{QStringLiteral("path"), item.path},
                                 {QStringLiteral("size"), item.size},
                                 {QStringLiteral("sha256"), item.sha256},
                                 {QStringLiteral("packed"), item.packed}});
    }
    if (!stored) {
        return false;
    }
    result->files = items.size();
    result->manifest = manifestText(files);
    Sha256 digest;
    digest.addData(result->manifest);
    result->manifestSha256 = digest.hexResult();
    result->manifestName =
        QStringLiteral("%1/%2.json").arg(QLatin1String(ManifestFolder), result->manifestSha256);
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

namespace {
// The files of serverDir that hold the manifest an entry names: the one named by its digest
// and the one its URL's file name names, wherever the URL points, and the one below the folder
// of "download_url" as the updater resolves it.
QStringList manifestCandidates(const QString& serverDir, const QJsonObject& entry) {
    QStringList candidates;
    const QDir manifests(QDir(serverDir).filePath(QLatin1String(ManifestFolder)));
    const QString digest = entry.value(QStringLiteral("manifest_sha256")).toString();
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    if (hex.match(digest).hasMatch()) {
        candidates << manifests.filePath(digest + QStringLiteral(".json"));
    }
    const QUrl url(entry.value(QStringLiteral("manifest_url")).toString(), QUrl::TolerantMode);
    const QString name = url.fileName(QUrl::FullyDecoded);
    if (!name.isEmpty() && !name.contains(QLatin1Char('\\'))) {
        candidates << manifests.filePath(name);
    }
    const QString served = servedFile(serverDir, entry, url);
    if (!served.isEmpty()) {
        candidates << served;
    }
    return candidates;
}

// Why the store may hold what another server directory's entries name: a folder or file that is
// a link, a file with other names (hard links), a folder on another file system. Empty when
// none of these is seen.
QString sharingSign(const QString& serverDir) {
    QStringList signs;
    for (const QString& link : serverLinks(serverDir)) {
        if (link.startsWith(QLatin1String(StoreFolder)) ||
            link.startsWith(QLatin1String(ManifestFolder))) {
            signs << QStringLiteral("%1 is a symbolic link").arg(link);
        }
    }
#ifndef Q_OS_WIN
    struct stat root {};
    ::stat(QFile::encodeName(serverDir).constData(), &root);
    for (const char* folder : {ManifestFolder, StoreFolder}) {
        const QString path = QDir(serverDir).filePath(QLatin1String(folder));
        struct stat status {};
        if (::stat(QFile::encodeName(path).constData(), &status) == 0 &&
            status.st_dev != root.st_dev) {
            signs << QStringLiteral("%1 is on another file system than the server directory")
                         .arg(QLatin1String(folder));
        }
        QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            if (::lstat(QFile::encodeName(file).constData(), &status) == 0 && status.st_nlink > 1) {
                signs << QStringLiteral("%1 has %2 names (hard links)")
                             .arg(QDir(serverDir).relativeFilePath(file))
                             .arg(status.st_nlink);
            }
        }
    }
#endif
    if (signs.isEmpty()) {
        return QString();
    }
    return signs.size() == 1
               ? signs.first()
               : QStringLiteral("%1 (and %2 more)").arg(signs.first()).arg(signs.size() - 1);
}
} // namespace

PruneResult pruneStore(const QString& serverDir, const PruneOptions& options, Reporter& reporter) {
    PruneResult result;
    // A dry run reads only: where the lock file cannot be made, it lists without it, as check
    // does.
    ServerLock lock(serverDir);
    QString lockError;
    if (lock.acquire(reporter, &lockError)) {
        const Recovery recovery = recoverInterrupted(serverDir);
        if (!recovery.ok) {
            result.error = recovery.error;
            return result;
        }
    } else if (options.dryRun) {
        result.notes << QStringLiteral("%1; listed without it, nothing is repaired").arg(lockError);
        if (QFileInfo::exists(journalPath(serverDir))) {
            result.notes << QStringLiteral("%1 is there: a publish was interrupted, and the list "
                                           "may change once it is repaired")
                                .arg(journalPath(serverDir));
        }
    } else {
        result.error = lockError;
        return result;
    }
    const QString listPath = QDir(serverDir).filePath(QStringLiteral("versions.json"));
    QFile list(listPath);
    if (!list.open(QIODevice::ReadOnly)) {
        result.error = QStringLiteral("cannot read %1: %2").arg(listPath, list.errorString());
        return result;
    }
    const versionlist::Parsed parsed = versionlist::split(list.readAll());
    if (!parsed.ok) {
        result.error = QStringLiteral("%1 is not a version list (%2)").arg(listPath, parsed.error);
        return result;
    }
    // Everything that an entry names, through its manifest, as cleaned paths. A manifest is
    // found by its digest and its file name, not by where the URLs point: entries whose archives
    // moved to another host still name these files. Objects are named by their digests.
    QSet<QString> named;
    for (const versionlist::Element& element : parsed.elements) {
        const QJsonObject entry = element.value.toObject();
        if (!entry.contains(QStringLiteral("manifest_url")) &&
            !entry.contains(QStringLiteral("manifest_sha256"))) {
            continue;
        }
        const QString version = entry.value(QStringLiteral("version")).toString();
        QString path;
        for (const QString& candidate : manifestCandidates(serverDir, entry)) {
            if (QFileInfo(candidate).isFile()) {
                named.insert(QDir::cleanPath(candidate));
                path = path.isEmpty() ? candidate : path;
            }
        }
        if (path.isEmpty()) {
            result.error = QStringLiteral("entry \"%1\" names the manifest %2, which is not in %3 "
                                          "of this server directory, so the objects it needs "
                                          "are unknown; nothing was removed")
                               .arg(version, entry.value(QStringLiteral("manifest_url")).toString(),
                                    QLatin1String(ManifestFolder));
            return result;
        }
        QFile file(path);
        QString problem = QStringLiteral("it cannot be read");
        std::optional<documents::Manifest> manifest;
        if (file.open(QIODevice::ReadOnly)) {
            manifest =
                documents::parseManifest(file.read(documents::MaxManifestSize + 1), &problem);
        }
        if (!manifest) {
            result.error =
                QStringLiteral("entry \"%1\" names the manifest %2, but %3; nothing was removed")
                    .arg(version, path, problem);
            return result;
        }
        const QUrl url(entry.value(QStringLiteral("manifest_url")).toString());
        for (const documents::ManifestFile& item : manifest->files) {
            named.insert(QDir::cleanPath(QDir(serverDir).filePath(objectName(item.sha256))));
            const QString object =
                servedFile(serverDir, entry, documents::storedFileUrl(url, *manifest, item));
            if (!object.isEmpty()) {
                named.insert(QDir::cleanPath(object));
            }
        }
    }
    result.shared = sharingSign(serverDir);
    if (!result.shared.isEmpty() && !options.evenIfShared && !options.dryRun) {
        result.error = QStringLiteral("the store may be shared with another server directory (%1): "
                                      "what this version list does not name may be live content "
                                      "of the other one; nothing was removed. Prune with "
                                      "--even-if-shared only when no other server directory "
                                      "uses it")
                           .arg(result.shared);
        return result;
    }
    QStringList folders;
    for (const char* folder : {ManifestFolder, StoreFolder}) {
        const QString path = QDir(serverDir).filePath(QLatin1String(folder));
        folders << path;
        QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System,
                        options.evenIfShared
                            ? QDirIterator::Subdirectories | QDirIterator::FollowSymlinks
                            : QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = QDir::cleanPath(it.next());
            if (!named.contains(file)) {
                result.unused << file;
                result.bytes += it.fileInfo().size();
            }
        }
    }
    result.unused.sort();
    if (!options.dryRun) {
        for (const QString& file : result.unused) {
            if (!QFile::remove(file)) {
                result.error = QStringLiteral("cannot remove %1").arg(file);
                return result;
            }
        }
        // The store's folders that are left empty.
        for (const QString& folder : folders) {
            QDirIterator it(folder, QDir::Dirs | QDir::NoDotAndDotDot);
            while (it.hasNext()) {
                QDir().rmdir(it.next());
            }
        }
    }
    result.ok = true;
    return result;
}

} // namespace publish
