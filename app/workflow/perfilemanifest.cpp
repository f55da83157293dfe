// The per-file update's first step (perfileupdate.h): its manifest, kept from an earlier run,
// fetched from the content store (as a delta from the installed release's manifest where the
// entry lists one, else as the manifest's packed object), or downloaded as a plain document when
// the store cannot serve it.

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>

#include "downloader.h"
#include "paths.h"
#include "perfileupdate.h"
#include "sha256.h"
#include "storefetcher.h"
#include "wholefile.h"

QString PerFileUpdate::keptManifest(const QJsonObject& entry) {
    return folder("manifests") + QLatin1Char('/') +
           entry.value(QStringLiteral("manifest_sha256")).toString() + QStringLiteral(".json");
}

bool PerFileUpdate::isNamedManifest(const QByteArray& text, const QJsonObject& entry) {
    Sha256 hash;
    hash.addData(text);
    return text.size() == qint64(entry.value(QStringLiteral("manifest_size")).toDouble()) &&
           hash.hexResult() == entry.value(QStringLiteral("manifest_sha256")).toString();
}

void PerFileUpdate::start() {
    // A manifest checked once is kept under its digest: a start that verifies the whole tree
    // needs no transfer for it.
    QFile copy(keptManifest(setup.entry));
    if (copy.open(QIODevice::ReadOnly)) {
        const QByteArray text = copy.read(documents::MaxManifestSize + 1);
        copy.close();
        if (isNamedManifest(text, setup.entry)) {
            useManifest(text);
            return;
        }
        copy.remove();
    }
    const auto stored = documents::storedManifest(setup.entry);
    if (stored) {
        fetchStoredManifest(*stored);
    } else {
        downloadManifest();
    }
}

void PerFileUpdate::fetchStoredManifest(const documents::StoredManifest& stored) {
    const QString target = keptManifest(setup.entry);
    StoreFetcher::Item item;
    item.url = stored.object;
    item.packed = stored.packed;
    item.size = qint64(setup.entry.value(QStringLiteral("manifest_size")).toDouble());
    item.sha256 = setup.entry.value(QStringLiteral("manifest_sha256")).toString();
    item.target = target;
    // The installed release's manifest, kept since its installation, is the delta's base.
    if (documents::hasManifest(setup.installedEntry)) {
        const QString base = keptManifest(setup.installedEntry);
        const QString from =
            setup.installedEntry.value(QStringLiteral("manifest_sha256")).toString();
        for (const documents::ManifestDelta& delta : stored.deltas) {
            if (delta.from == from && delta.packed < item.packed &&
                QFileInfo(base).size() == delta.fromSize) {
                item.deltaUrl =
                    stored.store.resolved(QUrl(documents::deltaName(item.sha256, from)));
                item.deltaPacked = delta.packed;
                item.base = base;
                item.baseSize = delta.fromSize;
            }
        }
    }
    paths::ensureDirectory(folder("manifests"));
    fetcher = new StoreFetcher(this);
    connect(fetcher, &StoreFetcher::progress, this, &PerFileUpdate::progress);
    connect(fetcher, &StoreFetcher::finished, this, [this, target](bool ok) {
        StoreFetcher* done = fetcher;
        fetcher = nullptr;
        done->deleteLater();
        if (!ok && cancelled) {
            end(End::Stopped, QStringLiteral("Загрузка отменена"));
            return;
        }
        QFile file(target);
        const QByteArray text =
            ok && file.open(QIODevice::ReadOnly) ? file.read(documents::MaxManifestSize + 1) : "";
        if (ok && isNamedManifest(text, setup.entry)) {
            useManifest(text);
            return;
        }
        // The store's copy is a convenience: the document itself still serves.
        qWarning() << "Манифест не получен из хранилища:" << done->errorString();
        downloadManifest();
    });
    fetcher->start({item}, paths::ensureDirectory(folder("objects")));
}

void PerFileUpdate::downloadManifest() {
    const QString copyPath = keptManifest(setup.entry);
    const QString updateDir = paths::ensureDirectory(paths::dataDir() + paths::updateSubdir());
    manifestDownload = new Downloader(this);
    connect(manifestDownload, &Downloader::updateDownloadProgress, this, &PerFileUpdate::progress);
    connect(manifestDownload, &Downloader::downloadFinished, this,
            [this, copyPath](bool ok, const QString& path) {
                if (!ok && cancelled) {
                    end(End::Stopped, QStringLiteral("Загрузка отменена"));
                    return;
                }
                QByteArray text;
                QFile file(path);
                if (ok && file.open(QIODevice::ReadOnly)) {
                    text = file.readAll();
                    file.close();
                }
                if (!path.isEmpty()) {
                    file.remove();
                }
                if (!ok) {
                    fallBack(QStringLiteral("манифест не загружен: ") +
                             manifestDownload->errorString());
                    return;
                }
                if (!isNamedManifest(text, setup.entry)) {
                    fallBack(QStringLiteral("манифест не совпадает с записью списка версий"));
                    return;
                }
                paths::ensureDirectory(folder("manifests"));
                QString why;
                if (!WholeFile::writeAll(copyPath, text, &why)) {
                    qWarning() << "Ошибка записи в файл:" << why;
                }
                useManifest(text);
            });
    const QJsonValue size = setup.entry.value(QStringLiteral("manifest_size"));
    if (!manifestDownload->startDownload(
            updateDir, QUrl(setup.entry.value(QStringLiteral("manifest_url")).toString()),
            qint64(size.toDouble()), Downloader::documentTimeLimit())) {
        fallBack(QStringLiteral("загрузка манифеста не началась"));
    }
}
