#include "contentstore.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTemporaryDir>
#include <QUrl>

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
} // namespace

bool writeStore(const QString& installDir, const QString& serverDir, Reporter& reporter,
                StoreResult* result, QString* error) {
    *result = StoreResult();
    struct Item {
        QString path;
        qint64 size;
        QString sha256;
    };
    QVector<Item> items;
    qint64 total = 0;
    for (const QString& path : tree::listEntries(installDir)) {
        const QFileInfo info(QDir(installDir).filePath(path));
        if (info.isSymLink() || !info.isFile()) {
            result->skipped = QStringLiteral("\"%1\" is not a plain file (a link, a FIFO or a "
                                             "device): a manifest lists files only")
                                  .arg(path);
            return true;
        }
        items.append({path, info.size(), QString()});
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
        result->skipped = QStringLiteral("the updater would refuse its manifest: ") + problem;
        return true;
    }

    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        *error = QStringLiteral("cannot create a temporary directory");
        return false;
    }
    const QString proof = scratch.filePath(QStringLiteral("proof"));
    const QString step = QStringLiteral("Filling the content store");
    QJsonArray files;
    qint64 done = 0;
    for (Item& item : items) {
        const QString source = QDir(installDir).filePath(item.path);
        QString readError;
        if (!Sha256::hashFile(source, &item.sha256, {}, &readError)) {
            *error = QStringLiteral("cannot read %1: %2").arg(source, readError);
            return false;
        }
        const QString object = QDir(serverDir).filePath(objectName(item.sha256));
        const QFileInfo existing(object);
        qint64 packed = existing.size();
        // An object already there came from another release; it is kept only when it unpacks
        // to this file's bytes.
        const bool usable = existing.isFile() &&
                            storedobject::unpack(object, proof, item.size, item.sha256).isEmpty();
        QFile::remove(proof);
        if (!usable) {
            if (!existing.exists()) {
                result->added << object;
            }
            if (!QDir().mkpath(existing.path())) {
                *error = QStringLiteral("cannot create %1").arg(existing.path());
                return false;
            }
            problem = storedobject::pack(source, object, &packed);
            if (!problem.isEmpty()) {
                *error = QStringLiteral("cannot store %1: %2").arg(item.path, problem);
                return false;
            }
            ++result->written;
        }
        result->packedBytes += packed;
        files.append(QJsonObject{{QStringLiteral("path"), item.path},
                                 {QStringLiteral("size"), item.size},
                                 {QStringLiteral("sha256"), item.sha256},
                                 {QStringLiteral("packed"), packed}});
        done += item.size;
        reporter.progress(step, total > 0 ? int(done * 100 / total) : 100);
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
        !writeFileAtomically(manifestPath, result->manifest, error)) {
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

PruneResult pruneStore(const QString& serverDir, bool dryRun, Reporter& reporter) {
    PruneResult result;
    ServerLock lock(serverDir);
    if (!lock.acquire(reporter, &result.error)) {
        return result;
    }
    const Recovery recovery = recoverInterrupted(serverDir);
    if (!recovery.ok) {
        result.error = recovery.error;
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
    // Everything that an entry names, through its manifest, as cleaned paths.
    QSet<QString> named;
    for (const versionlist::Element& element : parsed.elements) {
        const QJsonObject entry = element.value.toObject();
        if (!documents::hasManifest(entry) || !documents::manifestKeysProblem(entry).isEmpty()) {
            continue;
        }
        const QUrl url(entry.value(QStringLiteral("manifest_url")).toString());
        const QString path = servedFile(serverDir, entry, url);
        if (path.isEmpty()) {
            continue; // served from elsewhere
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
                    .arg(entry.value(QStringLiteral("version")).toString(), path, problem);
            return result;
        }
        named.insert(QDir::cleanPath(path));
        for (const documents::ManifestFile& item : manifest->files) {
            const QString object =
                servedFile(serverDir, entry, documents::storedFileUrl(url, *manifest, item));
            if (!object.isEmpty()) {
                named.insert(QDir::cleanPath(object));
            }
        }
    }
    QStringList folders;
    for (const char* folder : {ManifestFolder, StoreFolder}) {
        const QString path = QDir(serverDir).filePath(QLatin1String(folder));
        folders << path;
        QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = QDir::cleanPath(it.next());
            if (!named.contains(file)) {
                result.unused << file;
                result.bytes += it.fileInfo().size();
            }
        }
    }
    result.unused.sort();
    if (!dryRun) {
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
