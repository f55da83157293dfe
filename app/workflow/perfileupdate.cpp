// The per-file update: manifest, plan, staging and the swap (perfileupdate.h). The steps share
// the job's state (the manifest, the installed entries, the digests, the plan), so the job stays
// in one file of a little over 400 lines; its rules are in manifest.cpp, its moves in swap.cpp.

#include "perfileupdate.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>
#include <QSet>
#include <QStorageInfo>
#include <algorithm>

#include "delta.h"
#include "diskspace.h"
#include "downloader.h"
#include "paths.h"
#include "record.h"
#include "sha256.h"
#include "storefetcher.h"
#include "tree.h"
#include "wholefile.h"

static_assert(delta::MaxFileSize == documents::MaxDeltaFileSize,
              "the manifest lists deltas that the updater can apply");

namespace {

// Paths as the file system compares them.
QString folded(const QString& path) {
    return documents::fileSystemKey(path);
}
} // namespace

PerFileUpdate::PerFileUpdate(const Setup& setup, QObject* parent)
    : QObject(parent)
    , setup(setup) {
    // The bar follows the hashing done on the worker threads.
    hashTimer.setInterval(40);
    connect(&hashTimer, &QTimer::timeout, this, [this] {
        if (hasher && hasher->total() > 0) {
            emit hashProgress(
                static_cast<int>(qMin<qint64>(hasher->bytesDone() * 100 / hasher->total(), 100)));
        }
    });
}

PerFileUpdate::~PerFileUpdate() = default;

QString PerFileUpdate::folder(const char* name) {
    return paths::dataDir() + paths::updateSubdir() + QLatin1Char('/') + QLatin1String(name);
}

bool PerFileUpdate::cancel() {
    if (manifestDownload && manifestDownload->isRunning()) {
        cancelled = true;
        manifestDownload->cancelDownload();
        return true;
    }
    if (fetcher) {
        cancelled = true;
        fetcher->cancel();
        return true;
    }
    return false;
}

void PerFileUpdate::end(End how, const QString& detail) {
    if (!ended) {
        ended = true;
        emit finished(how, detail);
    }
}

void PerFileUpdate::fallBack(const QString& why) {
    // A repair that cannot even read its manifest judges nothing beyond the hash list.
    end(setup.repair && !manifest ? End::NoManifest : End::FallBack, why);
}

void PerFileUpdate::hash(const QStringList& paths,
                         const std::function<void(const FileHasher&)>& done) {
    auto* files = new FileHasher(this);
    hasher = files;
    connect(files, &FileHasher::finished, this, [this, files, done] {
        hashTimer.stop();
        emit hashProgress(100);
        hasher = nullptr;
        files->deleteLater();
        done(*files);
    });
    files->start(paths);
    emit hashProgress(0);
    hashTimer.start();
}

void PerFileUpdate::useManifest(const QByteArray& text) {
    QString problem;
    manifest = documents::parseManifest(text, &problem);
    if (!manifest) {
        fallBack(QStringLiteral("манифест не прочитан: ") + problem);
        return;
    }
    // A manifest that leaves out the executable (made by hand, or served by someone else) would
    // take the working one away.
    QString binary = setup.entry.value(QStringLiteral("binary_name")).toString();
    while (binary.startsWith(QLatin1Char('/'))) {
        binary.remove(0, 1);
    }
    if (std::none_of(manifest->files.cbegin(), manifest->files.cend(),
                     [&](const documents::ManifestFile& file) {
                         return folded(file.path) == folded(binary);
                     })) {
        fallBack(QStringLiteral("в манифесте нет исполняемого файла ") + binary);
        return;
    }
    const QString dirPath = paths::ensureDirectory(
        paths::dataDir() + setup.entry.value(QStringLiteral("extract_to")).toString());
    // Names that are not UTF-8 cannot be compared with the manifest nor moved by name.
    const QString odd = tree::nameNotUtf8(dirPath);
    if (!odd.isEmpty()) {
        fallBack(QStringLiteral("имя файла не в UTF-8: ") + odd);
        return;
    }
    // Only the files that may be as listed are hashed (once: the verification may have hashed
    // them already); a file of another size is changed. Staged files of an interrupted run
    // count when their bytes are what their names say.
    // A file that the installed release's manifest (when kept here) lists with another digest
    // than the new one is fetched whatever it holds: it is not hashed either.
    QHash<QString, QString> before;
    if (!setup.repair && documents::hasManifest(setup.installedEntry)) {
        QFile kept(keptManifest(setup.installedEntry));
        const QByteArray old = kept.open(QIODevice::ReadOnly)
                                   ? kept.read(documents::MaxManifestSize + 1)
                                   : QByteArray();
        const auto installedManifest = isNamedManifest(old, setup.installedEntry)
                                           ? documents::parseManifest(old)
                                           : std::nullopt;
        for (const documents::ManifestFile& file :
             installedManifest ? installedManifest->files : QVector<documents::ManifestFile>()) {
            before.insert(folded(file.path), file.sha256);
        }
    }
    QHash<QString, qint64> sizes;
    QHash<QString, qint64> stagedSizes;
    // Any installed file of a delta's base size may be a base, at whatever path.
    QSet<qint64> baseSizes;
    for (const documents::ManifestFile& file : manifest->files) {
        const QString was = before.value(folded(file.path));
        if (was.isEmpty() || was == file.sha256) {
            sizes.insert(folded(file.path), file.size);
        }
        stagedSizes.insert(file.sha256, file.size);
        for (const documents::ManifestDelta& delta : file.deltas) {
            baseSizes.insert(delta.fromSize);
        }
    }
    const QDir dir(dirPath);
    installedEntries = tree::listEntries(dirPath);
    QStringList toHash;
    for (const QString& entry : qAsConst(installedEntries)) {
        const QString path = dir.filePath(entry);
        const auto size = sizes.constFind(folded(entry));
        const QFileInfo info(path);
        if (documents::isSettingsFile(entry) || info.isSymLink() || !info.isFile() ||
            ((size == sizes.constEnd() || info.size() != *size) &&
             !baseSizes.contains(info.size()))) {
            continue;
        }
        const auto known = setup.digests.constFind(path);
        if (known == setup.digests.constEnd() || !FileHasher::isCurrent(*known)) {
            toHash << path;
        }
    }
    const QDir staging(folder("files"));
    for (const QString& name : staging.entryList(QDir::Files | QDir::NoSymLinks)) {
        if (QFileInfo(staging.filePath(name)).size() == stagedSizes.value(name, -1)) {
            toHash << staging.filePath(name);
        }
    }
    if (toHash.isEmpty()) {
        planFiles();
        return;
    }
    hash(toHash, [this](const FileHasher& done) {
        for (const FileHasher::Result& result : done.results()) {
            setup.digests.insert(result.path, result);
        }
        planFiles();
    });
}

void PerFileUpdate::planFiles() {
    const QString dirPath =
        paths::dataDir() + setup.entry.value(QStringLiteral("extract_to")).toString();
    const QDir dir(dirPath);
    QHash<QString, QString> installed;
    for (const QString& entry : qAsConst(installedEntries)) {
        const auto known = setup.digests.constFind(dir.filePath(entry));
        const bool usable = known != setup.digests.constEnd() && known->read && !known->special &&
                            FileHasher::isCurrent(*known) &&
                            !QFileInfo(dir.filePath(entry)).isSymLink();
        installed.insert(entry, usable ? known->digest : QString());
    }
    const QJsonValue archiveSize = setup.entry.value(QStringLiteral("size"));
    plan = documents::planUpdate(*manifest, installed,
                                 archiveSize.isDouble() ? qint64(archiveSize.toDouble()) : -1,
                                 !setup.repair);
    if (plan.useArchive) {
        fallBack(QStringLiteral("изменённые файлы занимают больше %1 % архива")
                     .arg(documents::MaxFetchShare));
        return;
    }
    if (setup.repair && plan.fetch.isEmpty()) {
        end(End::Intact);
        return;
    }
    if (setup.repair) {
        emit status(QStringLiteral("Файл ") + plan.fetch.first().path +
                    QStringLiteral(" не прошел проверку хеша"));
    }

    // What is staged already, with the right bytes, is not fetched again.
    const QDir staging(paths::ensureDirectory(folder("files")));
    QSet<QString> staged;
    for (const QString& name : staging.entryList(QDir::Files | QDir::NoSymLinks)) {
        const auto known = setup.digests.constFind(staging.filePath(name));
        if (known != setup.digests.constEnd() && known->read && known->digest == name &&
            FileHasher::isCurrent(*known)) {
            staged.insert(name);
        }
    }
    const QUrl manifestUrl(setup.entry.value(QStringLiteral("manifest_url")).toString());
    QVector<StoreFetcher::Item> items;
    qint64 needed = 0;
    for (const documents::ManifestFile& file : qAsConst(plan.fetch)) {
        if (staged.contains(file.sha256)) {
            continue;
        }
        staged.insert(file.sha256);
        StoreFetcher::Item item;
        item.url = documents::storedFileUrl(manifestUrl, *manifest, file);
        item.packed = file.packed;
        item.size = file.size;
        item.sha256 = file.sha256;
        item.target = staging.filePath(file.sha256);
        const auto base = plan.bases.constFind(file.sha256);
        if (base != plan.bases.constEnd()) {
            item.deltaUrl = documents::storedDeltaUrl(manifestUrl, *manifest, file, base->delta);
            item.deltaPacked = base->delta.packed;
            item.base = dir.filePath(base->path);
            item.baseSize = base->delta.fromSize;
        }
        items.append(item);
        needed += file.size + file.packed;
    }
    // The staged files and, briefly, their compressed objects; the files they replace stay
    // until the swap is done.
    const QString shortage =
        diskspace::shortage(needed, QStorageInfo(staging.path()).bytesAvailable());
    if (!shortage.isEmpty()) {
        qWarning() << "Недостаточно места для загрузки файлов:" << staging.path();
        end(End::Stopped, shortage);
        return;
    }
    if (items.isEmpty()) {
        placeFiles();
        return;
    }
    fetcher = new StoreFetcher(this);
    connect(fetcher, &StoreFetcher::progress, this, &PerFileUpdate::progress);
    connect(fetcher, &StoreFetcher::finished, this, [this](bool ok) {
        StoreFetcher* done = fetcher;
        fetcher = nullptr; // Cancel has nothing to stop from here on
        done->deleteLater();
        if (ok) {
            placeFiles();
        } else if (cancelled) {
            end(End::Stopped, QStringLiteral("Загрузка отменена"));
        } else {
            fallBack(QStringLiteral("файл не загружен: ") + done->errorString());
        }
    });
    fetcher->start(items, paths::ensureDirectory(folder("objects")));
}

void PerFileUpdate::placeFiles() {
    // The same labels as the archive path: the download has ended, the files are put in place.
    emit status(QStringLiteral("Загрузка завершена успешно."));
    emit status(QStringLiteral("Распаковка архива"));
    const QString dirPath =
        paths::dataDir() + setup.entry.value(QStringLiteral("extract_to")).toString();

    // The installed spelling of each path the manifest names (letter case aside on Windows).
    QHash<QString, QString> installedSpelling;
    for (const QString& entry : qAsConst(installedEntries)) {
        installedSpelling.insert(folded(entry), entry);
    }
    QStringList aside = plan.remove;
    QVector<tree::Placement> place;
    QHash<QString, int> uses;
    for (const documents::ManifestFile& file : qAsConst(plan.fetch)) {
        uses[file.sha256] += 1;
    }
    for (const documents::ManifestFile& file : qAsConst(plan.fetch)) {
        const QString old = installedSpelling.value(folded(file.path));
        if (!old.isEmpty()) {
            aside << old;
        }
        // A file or a link where the release has a folder is in the way: it goes aside too
        // (a link is moved as a link, nothing is ever written through it).
        const QStringList segments = file.path.split(QLatin1Char('/'));
        for (int i = 1; i < segments.size(); ++i) {
            const QString inTheWay =
                installedSpelling.value(folded(segments.mid(0, i).join(QLatin1Char('/'))));
            if (!inTheWay.isEmpty() && !aside.contains(inTheWay)) {
                aside << inTheWay;
            }
        }
        // A content at several paths is staged once: each but its last use takes a copy.
        QString staged = folder("files") + QLatin1Char('/') + file.sha256;
        if (--uses[file.sha256] > 0) {
            const QString copy = staged + QLatin1Char('.') + QString::number(place.size());
            QString why;
            if (!WholeFile::copy(staged, copy, &why)) {
                fallBack(QStringLiteral("не удалось скопировать файл: ") + why);
                return;
            }
            staged = copy;
        }
        place.append({staged, file.path});
    }

    // From here the record no longer describes what is on disk: a run stopped during the swap
    // finds no record and completes the update from the staged files. It is set aside, its
    // version still the floor of a signed build.
    if (!record::setAside()) {
        end(End::Stopped, QStringLiteral("Не удалось удалить файл latestVersion.json. Напишите в "
                                         "техподдержку."));
        return;
    }
    tree::removeTree(paths::dataDir() + paths::updateSubdir(), QStringLiteral("/old"));
    const QString asideDir = paths::ensureDirectory(folder("old"));
    QString failed;
    if (!tree::swapFiles(dirPath, aside, place, asideDir, &failed)) {
        // Everything is back as it was: so is the record. The archive replaces the whole tree
        // (and the wipe handles what a swap cannot), once.
        qWarning() << "Файл не заменён:" << failed;
        record::restore();
        fallBack(QStringLiteral("файлы не заменены: ") + failed);
        return;
    }
    const QString updateDir = paths::dataDir() + paths::updateSubdir();
    tree::removeTree(updateDir, QStringLiteral("/old"));
    tree::removeTree(updateDir, QStringLiteral("/files"));
    tree::removeTree(updateDir, QStringLiteral("/objects"));
    // Only the manifest of what is installed now is kept.
    const QDir manifests(folder("manifests"));
    const QString current = QFileInfo(keptManifest(setup.entry)).fileName();
    for (const QString& name : manifests.entryList(QDir::Files)) {
        if (name != current) {
            QFile::remove(manifests.filePath(name));
        }
    }
    QString failedSetting;
    if (!tree::restoreSettings(folder("settings"), dirPath, &failedSetting)) {
        // Kept where they are: the next installation puts them back.
        qWarning() << "Файл настроек не восстановлен:" << failedSetting;
    }
    emit status(QStringLiteral("Распаковка завершена успешно."));
    end(End::Installed, dirPath + setup.entry.value(QStringLiteral("binary_name")).toString());
}
