// Making the store's binary deltas: the zstd frames themselves, which earlier contents they start
// from (read through the served manifests), and writing (or proving) them beside the objects.

#include "deltamaker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QMutex>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>
#include <zstd.h>

#include "contentstore.h"
#include "delta.h"
#include "documents.h"
#include "manifest.h"
#include "serverfiles.h"
#include "sha256.h"
#include "storedobject.h"
#include "versionlist.h"
#include "wholefile.h"

namespace publish {

QByteArray makeDelta(const QByteArray& base, const QByteArray& target, QString* error, int level) {
    const std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(),
                                                                     ZSTD_freeCCtx);
    // The window reaches from the end of the target back to the start of the base.
    int windowLog = 10; // zstd's smallest
    while (windowLog < delta::MaxWindowLog &&
           (qint64(1) << windowLog) < qint64(base.size()) + target.size()) {
        ++windowLog;
    }
    auto set = [&](ZSTD_cParameter parameter, int value) {
        return !ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), parameter, value));
    };
    if (!context || !set(ZSTD_c_compressionLevel, level) || !set(ZSTD_c_contentSizeFlag, 1) ||
        !set(ZSTD_c_windowLog, windowLog) || !set(ZSTD_c_enableLongDistanceMatching, 1) ||
        ZSTD_isError(ZSTD_CCtx_refPrefix(context.get(), base.constData(), size_t(base.size())))) {
        *error = QStringLiteral("zstd cannot be set up");
        return QByteArray();
    }
    QByteArray frame(int(ZSTD_compressBound(size_t(target.size()))), Qt::Uninitialized);
    const size_t size = ZSTD_compress2(context.get(), frame.data(), size_t(frame.size()),
                                       target.constData(), size_t(target.size()));
    if (ZSTD_isError(size)) {
        *error = QStringLiteral("zstd: %1").arg(QString::fromUtf8(ZSTD_getErrorName(size)));
        return QByteArray();
    }
    frame.truncate(int(size));
    return frame;
}

QString deltaObjectName(const QString& to, const QString& from) {
    return QLatin1String(StoreFolder) + QLatin1Char('/') + documents::deltaName(to, from);
}

namespace {
// The files of a manifest (path, size and digest of each), or nothing when text is not one.
std::optional<QStringList> manifestFiles(const QByteArray& text) {
    const std::optional<documents::Manifest> manifest = documents::parseManifest(text);
    if (!manifest) {
        return std::nullopt;
    }
    QStringList files;
    for (const documents::ManifestFile& file : manifest->files) {
        files << QStringLiteral("%1 %2 %3").arg(file.sha256).arg(file.size).arg(file.path);
    }
    files.sort();
    return files;
}
} // namespace

QByteArray servedManifest(const QString& serverDir, const QJsonObject& entry) {
    const QString digest = entry.value(QStringLiteral("manifest_sha256")).toString();
    QFile file(QDir(serverDir).filePath(
        QStringLiteral("%1/%2.json").arg(QLatin1String(ManifestFolder), digest)));
    if (digest.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    const QByteArray text = file.read(documents::MaxManifestSize + 1);
    Sha256 hash;
    hash.addData(text);
    return hash.hexResult() == digest ? text : QByteArray();
}

std::optional<bool> sameFiles(const QString& serverDir, const QJsonObject& entry,
                              const QByteArray& manifest) {
    const std::optional<QStringList> before = manifestFiles(servedManifest(serverDir, entry));
    const std::optional<QStringList> now = manifestFiles(manifest);
    if (!before || !now) {
        return std::nullopt;
    }
    return *before == *now;
}

EarlierContents earlierContents(const QString& serverDir, const QByteArray& versionList,
                                const QString& label, int releases) {
    QVector<QJsonObject> entries;
    for (const versionlist::Element& element : versionlist::split(versionList).elements) {
        const QJsonObject entry = element.value.toObject();
        if (entry.value(QStringLiteral("full")) == QJsonValue(true) &&
            entry.value(QStringLiteral("version")).toString() != label &&
            documents::hasManifest(entry)) {
            entries << entry;
        }
    }
    std::stable_sort(
        entries.begin(), entries.end(), [](const QJsonObject& a, const QJsonObject& b) {
            return documents::versionNumber(a.value(QStringLiteral("version")).toString()) >
                   documents::versionNumber(b.value(QStringLiteral("version")).toString());
        });
    EarlierContents earlier;
    int read = 0;
    for (const QJsonObject& entry : entries) {
        if (read == releases) {
            break;
        }
        const QByteArray text = servedManifest(serverDir, entry);
        const std::optional<documents::Manifest> manifest = documents::parseManifest(text);
        if (!manifest) {
            continue;
        }
        ++read;
        const QString digest = entry.value(QStringLiteral("manifest_sha256")).toString();
        if (std::none_of(earlier.manifests.begin(), earlier.manifests.end(),
                         [&](const auto& m) { return m.sha256 == digest; })) {
            earlier.manifests.append(EarlierContent{digest, text.size()});
        }
        for (const documents::ManifestFile& file : manifest->files) {
            QVector<EarlierContent>& contents = earlier.files[file.path];
            const bool seen = std::any_of(contents.begin(), contents.end(),
                                          [&](const auto& c) { return c.sha256 == file.sha256; });
            if (!seen) {
                contents.append(EarlierContent{file.sha256, file.size});
            }
        }
    }
    return earlier;
}

namespace {
QString readAll(const QString& path, qint64 size, QByteArray* bytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    }
    *bytes = file.read(size + 1);
    if (bytes->size() != size) {
        return QStringLiteral("cannot read %1: %2 of %3 bytes read")
            .arg(path)
            .arg(bytes->size())
            .arg(size);
    }
    return QString();
}

QString storeDelta(const QString& installDir, const QString& serverDir, DeltaJob* job,
                   StoreFolders& folders) {
    const QString target = QDir(serverDir).filePath(deltaObjectName(job->sha256, job->base.sha256));
    const QString link = linkProblem(target);
    if (!link.isEmpty()) {
        return link;
    }
    // The base's bytes come from its own object, which proves them as they are unpacked.
    QTemporaryDir scratch;
    const QString base = scratch.filePath(QStringLiteral("base"));
    if (!scratch.isValid()) {
        return QStringLiteral("cannot create a temporary directory");
    }
    const QString why = storedobject::unpack(QDir(serverDir).filePath(objectName(job->base.sha256)),
                                             base, job->base.size, job->base.sha256);
    if (!why.isEmpty()) {
        job->skipped = why;
        return QString();
    }
    const QFileInfo existing(target);
    job->added = !existing.exists();
    // One already there (an earlier publish of this release) is kept once it applies.
    if (existing.isFile() && existing.size() * 2 < job->packed &&
        delta::verify(target, base, job->base.size, job->size, job->sha256).isEmpty()) {
        job->deltaSize = existing.size();
        job->listed = true;
        return QString();
    }
    QByteArray baseBytes, targetBytes;
    QString problem = readAll(base, job->base.size, &baseBytes);
    if (problem.isEmpty()) {
        problem = readAll(QDir(installDir).filePath(job->path), job->size, &targetBytes);
    }
    QByteArray frame;
    if (problem.isEmpty()) {
        frame = makeDelta(baseBytes, targetBytes, &problem);
    }
    if (!problem.isEmpty()) {
        return QStringLiteral("cannot make the delta of %1: %2").arg(job->path, problem);
    }
    if (frame.size() * 2 >= job->packed) {
        return QString(); // not clearly smaller than the object: the object serves
    }
    problem = folders.prepare(existing.path());
    if (!problem.isEmpty()) {
        return problem;
    }
    WholeFile out(target);
    if (!out.open() || !out.write(frame) || !out.commit(!SyncsFileSystem)) {
        return QStringLiteral("cannot store the delta of %1: %2").arg(job->path, out.errorString());
    }
    job->written = true;
    job->listed = true;
    job->deltaSize = frame.size();
    return QString();
}
} // namespace

bool storeDeltas(const QString& installDir, const QString& serverDir, QVector<DeltaJob>* jobs,
                 const std::function<void(int)>& progress, QString* error) {
    StoreFolders folders;
    QMutex lock;
    std::atomic<int> next{0};
    std::atomic<int> done{0};
    std::atomic_bool stop{false};
    auto work = [&](bool reporting) {
        for (int i = next++; i < jobs->size() && !stop; i = next++) {
            const QString why = storeDelta(installDir, serverDir, &(*jobs)[i], folders);
            if (!why.isEmpty()) {
                QMutexLocker locker(&lock);
                if (!stop.exchange(true)) {
                    *error = why;
                }
                return;
            }
            ++done;
            if (reporting && progress) {
                progress(done);
            }
        }
    };
    // Each worker may hold two files of up to 64 MiB and zstd's tables for them (some 250 MB in
    // all): four at most keep a publish of many large changed files within a modest machine.
    const int threads = std::min(QThread::idealThreadCount(), 4);
    std::vector<std::thread> workers;
    for (int i = 1; i < threads && i < jobs->size(); ++i) {
        workers.emplace_back(work, false);
    }
    work(true);
    for (std::thread& worker : workers) {
        worker.join();
    }
    return !stop;
}

} // namespace publish
