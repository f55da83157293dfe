// The deltas of a release beside its objects: those of its changed files, listed in its manifest,
// and those of the manifest itself, listed in its version list entry with the manifest's object.

#include "deltastore.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>

#include "console.h"
#include "delta.h"
#include "manifest.h"
#include "serverfiles.h"
#include "storedobject.h"
#include "wholefile.h"

namespace publish {

bool storeFileDeltas(const QString& installDir, const QString& serverDir,
                     const QVector<StoredFile>& files, const EarlierContents& earlier,
                     Reporter& reporter, StoreResult* result, QHash<int, QJsonArray>* listed,
                     QString* error) {
    QVector<DeltaJob> jobs;
    for (int i = 0; i < files.size(); ++i) {
        const StoredFile& file = files.at(i);
        // Only the paths that held other contents before are looked at.
        const auto before = earlier.files.constFind(file.path);
        if (before == earlier.files.constEnd() || file.size > documents::MaxDeltaFileSize) {
            continue;
        }
        for (const EarlierContent& base : *before) {
            if (base.sha256 != file.sha256 && base.size <= documents::MaxDeltaFileSize) {
                DeltaJob job;
                job.item = i;
                job.path = file.path;
                job.size = file.size;
                job.sha256 = file.sha256;
                job.packed = file.packed;
                job.base = base;
                jobs << job;
            }
        }
    }
    if (jobs.isEmpty()) {
        return true;
    }
    const QString step = QStringLiteral("Making binary deltas");
    const bool stored = storeDeltas(
        installDir, serverDir, &jobs,
        [&](int done) { reporter.progress(step, int(done * 100LL / jobs.size())); }, error);
    for (const DeltaJob& job : jobs) {
        const QString path = QDir(serverDir).filePath(deltaObjectName(job.sha256, job.base.sha256));
        if (job.written && job.added) {
            result->added << path;
        }
        if (!job.skipped.isEmpty()) {
            reporter.info(QStringLiteral("warning: no delta of %1 from %2: %3")
                              .arg(job.path, job.base.sha256, job.skipped));
        }
        if (job.listed) {
            (*listed)[job.item].append(QJsonObject{{QStringLiteral("from"), job.base.sha256},
                                                   {QStringLiteral("from_size"), job.base.size},
                                                   {QStringLiteral("packed"), job.deltaSize}});
            ++result->deltas;
            result->deltasWritten += job.written ? 1 : 0;
        }
    }
    return stored;
}

namespace {
// Why the file name (relative to serverDir) cannot be written: it, or a folder on its way, is
// a link. Empty when it can.
QString linkOnTheWay(const QString& serverDir, const QString& name) {
    QString path = serverDir;
    for (const QString& part : name.split(QLatin1Char('/'))) {
        path = QDir(path).filePath(part);
        const QString link = linkProblem(path);
        if (!link.isEmpty()) {
            return link;
        }
    }
    return QString();
}

// Writes bytes whole as the file name of serverDir, making its folders; a new file is appended
// to result->added. Empty, or why not.
QString writeStoreFile(const QString& serverDir, const QString& name, const QByteArray& bytes,
                       StoreResult* result) {
    const QString path = QDir(serverDir).filePath(name);
    const bool added = !QFileInfo::exists(path);
    if (!QDir().mkpath(QFileInfo(path).path())) {
        return QStringLiteral("cannot create %1").arg(QFileInfo(path).path());
    }
    WholeFile out(path);
    if (!out.open() || !out.write(bytes) || !out.commit(!SyncsFileSystem)) {
        return out.errorString();
    }
    if (added) {
        result->added << path;
    }
    return QString();
}
} // namespace

bool storeManifestObject(const QString& serverDir, const QVector<EarlierContent>& earlier,
                         Reporter& reporter, StoreResult* result, QString* error) {
    const QByteArray& manifest = result->manifest;
    const QString& digest = result->manifestSha256;
    const QString name = objectName(digest);
    const QString object = QDir(serverDir).filePath(name);
    QString why = linkOnTheWay(serverDir, name);
    if (why.isEmpty() && QFileInfo(object).isFile() &&
        storedobject::verify(object, manifest.size(), digest).isEmpty()) {
        result->manifestPacked = QFileInfo(object).size(); // the same tree published before
    } else if (why.isEmpty()) {
        const QByteArray packed = storedobject::packBytes(manifest);
        why = packed.isEmpty() ? QStringLiteral("zlib cannot pack it")
                               : writeStoreFile(serverDir, name, packed, result);
        result->manifestPacked = packed.size();
    }
    if (!why.isEmpty()) {
        *error = QStringLiteral("cannot store the manifest as %1: %2").arg(name, why);
        return false;
    }
    for (const EarlierContent& base : earlier) {
        if (base.sha256 == digest || result->manifestDeltas.size() == documents::MaxDeltas) {
            continue;
        }
        const QString deltaName = deltaObjectName(digest, base.sha256);
        const QString path = QDir(serverDir).filePath(deltaName);
        why = linkOnTheWay(serverDir, deltaName);
        if (!why.isEmpty()) {
            *error = why;
            return false;
        }
        // The base as the manifests folder holds it, proven by its digest.
        const QByteArray baseBytes = servedManifest(
            serverDir, QJsonObject{{QStringLiteral("manifest_sha256"), base.sha256}});
        if (baseBytes.isEmpty()) {
            reporter.info(
                QStringLiteral("warning: no delta of the manifest from %1: it cannot be read")
                    .arg(base.sha256));
            continue;
        }
        const QString basePath = QDir(serverDir).filePath(
            QStringLiteral("%1/%2.json").arg(QLatin1String(ManifestFolder), base.sha256));
        const QFileInfo existing(path);
        qint64 size = existing.size();
        if (!existing.isFile() || size * 2 >= result->manifestPacked ||
            !delta::verify(path, basePath, baseBytes.size(), manifest.size(), digest).isEmpty()) {
            const QByteArray frame = makeDelta(baseBytes, manifest, &why, ManifestDeltaLevel);
            if (frame.isEmpty()) {
                *error = QStringLiteral("cannot make the delta of the manifest from %1: %2")
                             .arg(base.sha256, why);
                return false;
            }
            if (frame.size() * 2 >= result->manifestPacked) {
                continue; // not clearly smaller than the object: the object serves
            }
            why = writeStoreFile(serverDir, deltaName, frame, result);
            if (!why.isEmpty()) {
                *error = QStringLiteral("cannot store the delta of the manifest from %1: %2")
                             .arg(base.sha256, why);
                return false;
            }
            size = frame.size();
        }
        result->manifestDeltas.append(QJsonObject{{QStringLiteral("from"), base.sha256},
                                                  {QStringLiteral("from_size"), baseBytes.size()},
                                                  {QStringLiteral("packed"), size}});
    }
    return true;
}

} // namespace publish
