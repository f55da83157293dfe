// prune: what the manifests and the store hold that no entry of the version list names any
// more, found through the entries' manifests and removed under the server lock.

#include "contentstore.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>
#include <algorithm>

#include "documents.h"
#include "manifest.h"
#include "replacement.h"
#include "serverfiles.h"
#include "serverlock.h"
#include "versionlist.h"

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace publish {

namespace {
bool isDigest(const QString& text) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    return hex.match(text).hasMatch();
}

// The files of serverDir that hold the manifest an entry names: the one named by its digest
// and the one its URL's file name names, wherever the URL points, and the one below the folder
// of "download_url" as the updater resolves it.
QStringList manifestCandidates(const QString& serverDir, const QJsonObject& entry) {
    QStringList candidates;
    const QDir manifests(QDir(serverDir).filePath(QLatin1String(ManifestFolder)));
    const QString digest = entry.value(QStringLiteral("manifest_sha256")).toString();
    if (isDigest(digest)) {
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
        const Recovery recovery = recoverInterrupted(serverDir, lock);
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
        // The manifest's own object and its deltas, which the entry lists beside it.
        const QString digest = entry.value(QStringLiteral("manifest_sha256")).toString();
        if (entry.contains(QStringLiteral("manifest_packed")) && isDigest(digest)) {
            auto name = [&](const QString& file) {
                named.insert(QDir::cleanPath(QDir(serverDir).filePath(file)));
            };
            name(objectName(digest));
            for (const QJsonValue& delta :
                 entry.value(QStringLiteral("manifest_deltas")).toArray()) {
                const QString from = delta.toObject().value(QStringLiteral("from")).toString();
                if (isDigest(from)) {
                    name(deltaObjectName(digest, from));
                }
            }
        }
        const QUrl url(entry.value(QStringLiteral("manifest_url")).toString());
        for (const documents::ManifestFile& item : manifest->files) {
            named.insert(QDir::cleanPath(QDir(serverDir).filePath(objectName(item.sha256))));
            const QString object =
                servedFile(serverDir, entry, documents::storedFileUrl(url, *manifest, item));
            if (!object.isEmpty()) {
                named.insert(QDir::cleanPath(object));
            }
            for (const documents::ManifestDelta& delta : item.deltas) {
                named.insert(QDir::cleanPath(
                    QDir(serverDir).filePath(deltaObjectName(item.sha256, delta.from))));
                const QString served = servedFile(
                    serverDir, entry, documents::storedDeltaUrl(url, *manifest, item, delta));
                if (!served.isEmpty()) {
                    named.insert(QDir::cleanPath(served));
                }
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
        // The store's folders that are left empty (those of store/deltas/ before it).
        QStringList empty;
        for (const QString& folder : folders) {
            QDirIterator it(folder, QDir::Dirs | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                empty << it.next();
            }
        }
        std::sort(empty.begin(), empty.end(), [](const QString& a, const QString& b) {
            return a.count(QLatin1Char('/')) > b.count(QLatin1Char('/'));
        });
        for (const QString& folder : empty) {
            QDir().rmdir(folder);
        }
    }
    result.ok = true;
    return result;
}

} // namespace publish
