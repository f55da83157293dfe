// The manifest of the entry to be installed against its unpacked tree, and the content store
// against the manifest: each fault costs every update the whole archive.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QVector>
#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "checkrules.h"
#include "console.h"
#include "contentstore.h"
#include "delta.h"
#include "documents.h"
#include "manifest.h"
#include "sha256.h"
#include "storedobject.h"
#include "tree.h"

namespace publish {

namespace {
// Runs work(0 .. count - 1, reporting) on every core; reporting on this thread only.
void onEveryCore(int count, const std::function<void(int n, bool reporting)>& work) {
    std::atomic<int> next{0};
    auto run = [&](bool reporting) {
        for (int n = next++; n < count; n = next++) {
            work(n, reporting);
        }
    };
    std::vector<std::thread> workers;
    for (int i = 1; i < QThread::idealThreadCount() && i < count; ++i) {
        workers.emplace_back(run, false);
    }
    run(true);
    for (std::thread& worker : workers) {
        worker.join();
    }
}
} // namespace

// The manifest of the entry to be installed against its tree as unpacked from the archive,
// and the store against the manifest. The updater takes the archive instead of a manifest or
// an object that does not match; so each fault costs every client the whole archive.
void Checker::checkManifest(const QString& installDir) {
    const QJsonObject& entry = result.entry;
    if (!documents::hasManifest(entry) || !documents::manifestKeysProblem(entry).isEmpty()) {
        return;
    }
    const QUrl url(entry.value(QStringLiteral("manifest_url")).toString());
    const QString path = servedFile(serverDir, entry, url);
    if (path.isEmpty()) {
        result.notes << QStringLiteral("the manifest %1 is not served from beside the "
                                       "archive; it was not checked")
                            .arg(url.toString());
        return;
    }
    const QString cost = QStringLiteral(": every update takes the whole archive");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem(QStringLiteral("manifest-missing"),
                QStringLiteral("the manifest %1 is not in the server directory")
                        .arg(QDir(serverDir).relativeFilePath(path)) +
                    cost);
        return;
    }
    const QByteArray text = file.read(documents::MaxManifestSize + 1);
    const qint64 size = entry.value(QStringLiteral("manifest_size")).toVariant().toLongLong();
    if (text.size() != size) {
        problem(QStringLiteral("manifest-wrong-size"),
                QStringLiteral("the manifest %1 has %2 bytes, \"manifest_size\" says %3")
                        .arg(QDir(serverDir).relativeFilePath(path))
                        .arg(text.size())
                        .arg(size) +
                    cost);
        return;
    }
    Sha256 hash;
    hash.addData(text);
    const QString digest = hash.hexResult();
    if (digest != entry.value(QStringLiteral("manifest_sha256")).toString()) {
        problem(QStringLiteral("manifest-wrong-digest"),
                QStringLiteral("the manifest %1 has the digest %2, \"manifest_sha256\" "
                               "says %3")
                        .arg(QDir(serverDir).relativeFilePath(path), digest,
                             entry.value(QStringLiteral("manifest_sha256")).toString()) +
                    cost);
        return;
    }
    QString why;
    const std::optional<documents::Manifest> manifest = documents::parseManifest(text, &why);
    if (!manifest) {
        problem(QStringLiteral("manifest-invalid"),
                QStringLiteral("the manifest %1 is refused by the updater (%2)")
                        .arg(QDir(serverDir).relativeFilePath(path), why) +
                    cost);
        return;
    }
    checkManifestObject(text);
    QHash<QString, documents::ManifestFile> listed;
    for (const documents::ManifestFile& item : manifest->files) {
        listed.insert(item.path, item);
    }
    // A publish made the manifest from this very tree a moment ago: comparing them again
    // would only repeat its hashing.
    if (installDir == unpacked) {
        listed.clear();
    }
    QStringList mismatches;
    for (const QString& name :
         installDir == unpacked ? QStringList() : tree::listEntries(installDir)) {
        const auto it = listed.constFind(name);
        if (it == listed.constEnd()) {
            mismatches
                << QStringLiteral("the archive holds \"%1\", the manifest does not").arg(name);
            continue;
        }
        const QString path = QDir(installDir).filePath(name);
        QString fileDigest;
        if (QFileInfo(path).size() != it->size || !Sha256::hashFile(path, &fileDigest) ||
            fileDigest != it->sha256) {
            mismatches << QStringLiteral("\"%1\" in the archive is not the file that the "
                                         "manifest lists")
                              .arg(name);
        }
        listed.remove(name);
    }
    for (auto it = listed.constBegin(); it != listed.constEnd(); ++it) {
        mismatches << QStringLiteral("the manifest lists \"%1\", which the archive does "
                                     "not hold")
                          .arg(it.key());
    }
    problems(QStringLiteral("manifest-archive-mismatch"), mismatches);

    // Checking a publish, the objects were proven as they were stored; a check unpacks
    // each one as the updater will, in memory, on every core.
    QStringList missing, wrongSize, damaged;
    QVector<int> toVerify;
    QVector<QString> objects(manifest->files.size());
    for (int i = 0; i < manifest->files.size(); ++i) {
        const documents::ManifestFile& item = manifest->files.at(i);
        const QString object =
            servedFile(serverDir, entry, documents::storedFileUrl(url, *manifest, item));
        if (object.isEmpty()) {
            result.notes << QStringLiteral("the content store of %1 is not served from "
                                           "beside the archive; it was not checked")
                                .arg(url.toString());
            break;
        }
        objects[i] = object;
        const QString name = QDir(serverDir).relativeFilePath(object);
        const QFileInfo info(object);
        if (!info.isFile()) {
            missing << QStringLiteral("the object %1 of \"%2\" is not in the server "
                                      "directory")
                           .arg(name, item.path);
        } else if (info.size() != item.packed) {
            wrongSize << QStringLiteral("the object %1 of \"%2\" has %3 bytes, the manifest "
                                        "says %4")
                             .arg(name, item.path)
                             .arg(info.size())
                             .arg(item.packed);
        } else if (staged.isEmpty()) {
            toVerify << i;
        }
    }
    QVector<QString> faults(manifest->files.size());
    Sha256::prepare();
    onEveryCore(toVerify.size(), [&](int n, bool reporting) {
        const int i = toVerify.at(n);
        const documents::ManifestFile& item = manifest->files.at(i);
        faults[i] = storedobject::verify(objects.at(i), item.size, item.sha256);
        if (reporting) {
            reporter.progress(QStringLiteral("Checking the content store"),
                              int(n * 100LL / toVerify.size()));
        }
    });
    for (const int i : toVerify) {
        if (!faults.at(i).isEmpty()) {
            damaged << QStringLiteral("the object %1 of \"%2\" does not unpack to it (%3)")
                           .arg(QDir(serverDir).relativeFilePath(objects.at(i)),
                                manifest->files.at(i).path, faults.at(i));
        }
    }
    problems(QStringLiteral("store-object-missing"), missing);
    problems(QStringLiteral("store-object-wrong-size"), wrongSize);
    problems(QStringLiteral("store-object-damaged"), damaged);
    if (!objects.isEmpty() && !objects.constFirst().isEmpty()) { // the store is served here
        checkDeltas(url, *manifest);
    }
}

// The deltas of the manifest: each is there with its listed size and, outside a publish (which
// made or proved them), applies onto its base, unpacked from the base's own object, to the file.
// A bad delta costs the updater its download, then it takes the whole object.
void Checker::checkDeltas(const QUrl& url, const documents::Manifest& manifest) {
    struct Proof {
        const documents::ManifestFile* file;
        const documents::ManifestDelta* delta;
        QString path, fault, note;
    };
    QStringList missing, wrongSize, bad;
    QVector<Proof> proofs;
    for (const documents::ManifestFile& item : manifest.files) {
        for (const documents::ManifestDelta& delta : item.deltas) {
            const QString path = servedFile(serverDir, result.entry,
                                            documents::storedDeltaUrl(url, manifest, item, delta));
            const QString name = QDir(serverDir).relativeFilePath(path);
            const QFileInfo info(path);
            if (!info.isFile()) {
                missing << QStringLiteral("the delta %1 of \"%2\" is not in the server directory")
                               .arg(name, item.path);
            } else if (info.size() != delta.packed) {
                wrongSize << QStringLiteral("the delta %1 of \"%2\" has %3 bytes, the manifest "
                                            "says %4")
                                 .arg(name, item.path)
                                 .arg(info.size())
                                 .arg(delta.packed);
            } else if (staged.isEmpty()) {
                proofs << Proof{&item, &delta, path, QString(), QString()};
            }
        }
    }
    onEveryCore(proofs.size(), [&](int n, bool reporting) {
        Proof& proof = proofs[n];
        documents::ManifestFile baseFile;
        baseFile.sha256 = proof.delta->from;
        const QString object =
            servedFile(serverDir, result.entry, documents::storedFileUrl(url, manifest, baseFile));
        QTemporaryDir scratch;
        const QString base = scratch.filePath(QStringLiteral("base"));
        const QString why =
            scratch.isValid()
                ? storedobject::unpack(object, base, proof.delta->fromSize, proof.delta->from)
                : QStringLiteral("no temporary directory");
        if (!why.isEmpty()) {
            proof.note = QStringLiteral("the delta %1 of \"%2\" was not checked: its base's "
                                        "object %3 cannot be used (%4)")
                             .arg(QDir(serverDir).relativeFilePath(proof.path), proof.file->path,
                                  QDir(serverDir).relativeFilePath(object), why);
        } else {
            proof.fault = delta::verify(proof.path, base, proof.delta->fromSize, proof.file->size,
                                        proof.file->sha256);
        }
        if (reporting) {
            reporter.progress(QStringLiteral("Checking the deltas"),
                              int(n * 100LL / proofs.size()));
        }
    });
    for (const Proof& proof : proofs) {
        if (!proof.note.isEmpty()) {
            result.notes << proof.note;
        } else if (!proof.fault.isEmpty()) {
            bad << QStringLiteral("the delta %1 of \"%2\" does not make it (%3)")
                       .arg(QDir(serverDir).relativeFilePath(proof.path), proof.file->path,
                            proof.fault);
        }
    }
    problems(QStringLiteral("delta-missing"), missing);
    problems(QStringLiteral("delta-wrong-size"), wrongSize);
    problems(QStringLiteral("delta-bad"), bad);
}

// The manifest's own object and its deltas from earlier manifests, which the entry lists for
// updaters that fetch the manifest through the store: the object unpacks to the manifest (text,
// proven by its digest), and each delta applies onto its base manifest, found in the manifests
// folder by its digest. A fault costs such an updater that download, then it takes the text.
void Checker::checkManifestObject(const QByteArray& text) {
    const QJsonObject& entry = result.entry;
    const QStringList keys{QStringLiteral("manifest_store"), QStringLiteral("manifest_packed"),
                           QStringLiteral("manifest_deltas")};
    if (std::none_of(keys.begin(), keys.end(),
                     [&](const QString& k) { return entry.contains(k); })) {
        return; // published before manifests had objects
    }
    const std::optional<documents::StoredManifest> stored = documents::storedManifest(entry);
    if (!stored) {
        problem(QStringLiteral("manifest-object-keys"),
                QStringLiteral("\"manifest_store\" %1, \"manifest_packed\" %2 or "
                               "\"manifest_deltas\" %3 is not usable: the manifest is always "
                               "fetched whole")
                    .arg(quoted(entry.value(keys[0])), quoted(entry.value(keys[1])),
                         quoted(entry.value(keys[2]))));
        return;
    }
    const QString object = servedFile(serverDir, entry, stored->object);
    if (object.isEmpty()) {
        result.notes << QStringLiteral("the manifest's object %1 is not served from beside the "
                                       "archive; it was not checked")
                            .arg(stored->object.toString());
        return;
    }
    const QString digest = entry.value(QStringLiteral("manifest_sha256")).toString();
    const QString name = QDir(serverDir).relativeFilePath(object);
    const QString cost = QStringLiteral(": updaters fetch the manifest's whole text instead");
    const QFileInfo info(object);
    QString why;
    if (!info.isFile()) {
        problem(
            QStringLiteral("manifest-object-missing"),
            QStringLiteral("the manifest's object %1 is not in the server directory").arg(name) +
                cost);
    } else if (info.size() != stored->packed) {
        problem(QStringLiteral("manifest-object-wrong-size"),
                QStringLiteral("the manifest's object %1 has %2 bytes, \"manifest_packed\" says %3")
                        .arg(name)
                        .arg(info.size())
                        .arg(stored->packed) +
                    cost);
    } else if (!(why = storedobject::verify(object, text.size(), digest)).isEmpty()) {
        problem(
            QStringLiteral("manifest-object-bad"),
            QStringLiteral("the manifest's object %1 does not unpack to it (%2)").arg(name, why) +
                cost);
    }
    for (const documents::ManifestDelta& delta : stored->deltas) {
        const QString path =
            servedFile(serverDir, entry,
                       stored->store.resolved(QUrl(documents::deltaName(digest, delta.from))));
        const QString deltaName = QDir(serverDir).relativeFilePath(path);
        const QString base = QDir(serverDir).filePath(
            QStringLiteral("%1/%2.json").arg(QLatin1String(ManifestFolder), delta.from));
        const QFileInfo info(path);
        if (!info.isFile()) {
            problem(QStringLiteral("delta-missing"),
                    QStringLiteral("the delta %1 of the manifest is not in the server directory")
                        .arg(deltaName));
        } else if (info.size() != delta.packed) {
            problem(QStringLiteral("delta-wrong-size"),
                    QStringLiteral("the delta %1 of the manifest has %2 bytes, the entry says %3")
                        .arg(deltaName)
                        .arg(info.size())
                        .arg(delta.packed));
        } else if (servedManifest(serverDir,
                                  QJsonObject{{QStringLiteral("manifest_sha256"), delta.from}})
                       .size() != delta.fromSize) {
            result.notes << QStringLiteral("the delta %1 of the manifest was not checked: its base "
                                           "%2 is not in the server directory as listed")
                                .arg(deltaName, QDir(serverDir).relativeFilePath(base));
        } else if (!(why = delta::verify(path, base, delta.fromSize, text.size(), digest))
                        .isEmpty()) {
            problem(QStringLiteral("delta-bad"),
                    QStringLiteral("the delta %1 of the manifest does not make it (%2)")
                        .arg(deltaName, why));
        }
    }
}

} // namespace publish
