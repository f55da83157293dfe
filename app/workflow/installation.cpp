// The full installation: version list, archive download, wipe, extraction, launch.

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>
#include <QStorageInfo>
#include <QTimer>
#include <algorithm>

#include "decompressor.h"
#include "diskspace.h"
#include "documents.h"
#include "downloader.h"
#include "mainwindow.h"
#include "network.h"
#include "paths.h"
#include "sha256.h"
#include "storefetcher.h"
#include "tree.h"
#include "wholefile.h"

namespace {
const char* const oversizedProperty = "quorvexOversized";
const char* const timedOutProperty = "quorvexTimedOut";

// The archives of earlier downloads are of no use once another one starts: only the archive
// named name (replaced when its download is complete) and its partial files stay. Nothing but
// the regular files that downloads leave in the folder is touched.
void removeOlderDownloads(const QString& updateDir, const QString& name) {
    const QDir dir(updateDir);
    const QStringList kept{name, name + QStringLiteral(".part"),
                           name + QStringLiteral(".part.meta")};
    for (const QString& file : dir.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
        if (!name.isEmpty() && !kept.contains(file, paths::nameCase)) {
            QFile::remove(dir.filePath(file));
        }
    }
}

// The per-file path's folders inside the download folder: the fetched files waiting to be
// placed (named by their digests), the compressed objects in transit, the files moved aside
// during a swap, and the manifests of installed releases (named by their digests).
QString perFileDir(const char* name) {
    return paths::dataDir() + paths::updateSubdir() + QLatin1Char('/') + QLatin1String(name);
}

QString manifestCopyPath(const QJsonObject& entry) {
    return perFileDir("manifests") + QLatin1Char('/') +
           entry.value(QStringLiteral("manifest_sha256")).toString() + QStringLiteral(".json");
}

// True when text is the manifest that entry names (its keys were judged when it was chosen).
bool isNamedManifest(const QByteArray& text, const QJsonObject& entry) {
    Sha256 hash;
    hash.addData(text);
    return text.size() == qint64(entry.value(QStringLiteral("manifest_size")).toDouble()) &&
           hash.hexResult() == entry.value(QStringLiteral("manifest_sha256")).toString();
}

// Paths as the file system compares them.
QString folded(const QString& path) {
    return documents::fileSystemKey(path);
}

QString unusableEntryMessage(const QString& problem) {
    return QStringLiteral("Недопустимая версия в списке версий (%1). Напишите в техподдержку.")
        .arg(problem);
}
} // namespace

void MainWindow::requestVersionList() {
    QNetworkRequest request =
        network::request(paths::serverDocument(serverUrl, QStringLiteral("/versions.json")));
    QNetworkReply* reply = networkManager->get(request);
    // Qt reads the socket on while this thread is busy and reports the data in one batch: the
    // reply buffers no more than one byte past the cap, which the check below then sees.
    reply->setReadBufferSize(documents::MaxVersionListSize + 1);
    versionReply = reply;
    connect(reply, &QNetworkReply::downloadProgress, this, &MainWindow::onUpdateProgress);
    // The list is held in memory: an endless or inflated body is cut off at the size cap, and
    // a body that trickles in for too long at the time limit.
    connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > documents::MaxVersionListSize) {
            reply->setProperty(oversizedProperty, true);
            reply->abort();
        }
    });
    QTimer::singleShot(Downloader::documentTimeLimit(), reply, [reply] {
        if (reply->isRunning()) {
            reply->setProperty(timedOutProperty, true);
            reply->abort();
        }
    });
}

void MainWindow::onDownloadFinished(QNetworkReply* reply) {
    const bool oversized = reply->property(oversizedProperty).toBool();
    const QByteArray body = oversized || !reply->isOpen() ? QByteArray() : reply->readAll();
    // The reply is done with on every path below; it goes once control returns to the loop.
    reply->deleteLater();
    if (oversized) {
        qWarning() << "Список версий превышает допустимый размер:" << reply->url().toString();
    } else if (reply->property(timedOutProperty).toBool()) {
        qWarning() << "Список версий не загружен за отведённое время:" << reply->url().toString();
    } else if (reply->error() != QNetworkReply::NoError) {
        qWarning() << "Ошибка загрузки списка версий:" << reply->errorString();
    } else if (!publicKeys.isEmpty()) {
        checkSignature(
            QStringLiteral("/versions.json"), body, [this, body] { useVersionList(body); },
            [this] { requestVersionList(); });
        return;
    }
    // A signed build reads nothing of a list that did not arrive whole.
    useVersionList(publicKeys.isEmpty() ? body : QByteArray());
}

void MainWindow::useVersionList(const QByteArray& body) {
    const documents::VersionSelection selection = documents::selectFullVersion(body);
    if (!selection.isArray) {
        qWarning() << "Неверный формат JSON";
        setStatus(QStringLiteral("Не удалось получить список версий."));
        return;
    }
    for (int i = 0; i < selection.invalidElements; ++i) {
        qWarning() << "Недопустимый элемент массива JSON";
    }
    if (!selection.found) {
        qWarning() << "Не удалось найти полную версию в массиве JSON";
        setStatus(QStringLiteral("На сервере не найдена полная версия."));
        return;
    }
    versionInfo = selection.entry;

    // An entry that would wipe the data directory, climb out of it, launch something outside
    // its installation, or whose archive could not be checked, is refused before anything is
    // downloaded; so is, in a signed build, one whose archive the list does not bind or one older
    // than the installed version.
    const QUrl archiveUrl(selection.downloadUrl, QUrl::TolerantMode);
    const QString archiveName = Downloader::targetFileName(archiveUrl);
    QString problem = documents::entryProblem(paths::dataDir(), versionInfo, archiveName);
    if (problem.isEmpty() && !publicKeys.isEmpty()) {
        problem = documents::signedEntryProblem(versionInfo, installedNumber);
    }
    if (!problem.isEmpty()) {
        qWarning() << "Недопустимая запись в списке версий:" << problem;
        setStatus(unusableEntryMessage(problem));
        return;
    }

    const QString updateDir = ensureDirectory(paths::dataDir() + paths::updateSubdir());
    removeOlderDownloads(updateDir, archiveName);
    run.archiveUrl = archiveUrl;
    // With nothing installed and nothing staged, every file would be fetched: the archive is
    // taken at once, without the manifest (the first verification fetches it).
    const auto empty = [](const QString& dir) {
        return QDir(dir).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                 QDir::System);
    };
    const bool nothingThere =
        empty(paths::dataDir() + versionInfo[QStringLiteral("extract_to")].toString()) &&
        empty(perFileDir("files")) && empty(perFileDir("old"));
    if (documents::hasManifest(versionInfo) && !run.archiveOnly && !nothingThere) {
        startPerFile(false);
        return;
    }
    downloadArchive();
}

void MainWindow::downloadArchive() {
    // Without its extractor (removed by an antivirus, or a copy of the updater run alone) no
    // archive can be unpacked: nothing is downloaded for it. One that is there but cannot start
    // is found by the listing before the wipe. The per-file path does not need it.
    const QFileInfo extractor(Decompressor::extractorPath());
    if (!extractor.isFile() || !extractor.isExecutable()) {
        qWarning() << "Программа распаковки не найдена:" << extractor.filePath();
        setStatus(QStringLiteral("Ошибка при распаковке архива: Ошибка запуска процесса: ") +
                  QDir::toNativeSeparators(extractor.filePath()));
        return;
    }

    const QString updateDir = ensureDirectory(paths::dataDir() + paths::updateSubdir());
    const QString archiveName = Downloader::targetFileName(run.archiveUrl);
    const QJsonValue size = versionInfo.value(QStringLiteral("size"));
    // An archive that an earlier run downloaded whole (its extraction failed, or the record was
    // lost) is used again once its digest is proven: neither downloaded again nor given room
    // twice. One that does not prove out is removed and downloaded.
    const QString complete = updateDir + QLatin1Char('/') + archiveName;
    const QJsonValue sha = versionInfo.value(QStringLiteral("sha256"));
    if (!run.archiveReuseTried && size.isDouble() && sha.isString() &&
        QFileInfo(complete).isFile() && QFileInfo(complete).size() == qint64(size.toDouble())) {
        run.archiveReuseTried = true;
        setStatus(QStringLiteral("Проверка архива"));
        hashInBackground({complete}, [this, complete, sha](const FileHasher& done) {
            const FileHasher::Result result = done.results().value(0);
            if (result.read && result.digest == sha.toString()) {
                checkArchive(complete);
                return;
            }
            QFile::remove(complete);
            downloadArchive();
        });
        return;
    }
    // An archive of known "size" must fit beside what its partial file already holds (that
    // space is written again whether the download continues or starts over).
    const QString shortage =
        !size.isDouble()
            ? QString()
            : diskspace::shortage(qint64(size.toDouble()), QStorageInfo(updateDir).bytesAvailable(),
                                  QFileInfo(updateDir + "/" + archiveName + ".part").size());
    if (!shortage.isEmpty()) {
        qWarning() << "Недостаточно места для загрузки архива:" << updateDir;
        setStatus(shortage);
        return;
    }

    downloader = new Downloader(this);
    // A download that breaks off is continued by the next run. With a "size", a body that
    // grows past it is stopped at once.
    downloader->setResumable(true);
    if (!downloader->startDownload(updateDir, run.archiveUrl,
                                   size.isDouble() ? qint64(size.toDouble()) : -1)) {
        qWarning() << "Не удалось начать загрузку архива:" << run.archiveUrl.toString();
        setStatus(QStringLiteral("Ошибка загрузки файла."));
    }
    qDebug() << "Папка для загрузки:" << updateDir;
    connect(downloader, &Downloader::updateDownloadProgress, this, &MainWindow::onUpdateProgress);
    connect(downloader, &Downloader::downloadFinished, this,
            &MainWindow::onDownloadFullVersionFinished);
}

void MainWindow::onDownloadFullVersionFinished(bool state, QString path) {
    // The form of "size" and "sha256" was judged when the entry was chosen.
    const QJsonValue size = versionInfo.value(QStringLiteral("size"));
    const qint64 archiveSize = state ? QFileInfo(path).size() : -1;
    if (state && size.isDouble() && archiveSize != qint64(size.toDouble())) {
        qWarning() << "Размер архива не совпадает:" << path << archiveSize;
        QFile::remove(path);
        state = false;
    }
    if (!state) {
        setStatus(run.cancelled ? QStringLiteral("Загрузка отменена")
                                : QStringLiteral("Ошибка загрузки файла."));
        logFailure(downloader);
        return;
    }
    const QJsonValue sha = versionInfo.value(QStringLiteral("sha256"));
    if (!sha.isString()) {
        checkArchive(path);
        return;
    }
    setStatus(QStringLiteral("Проверка архива"));
    hashInBackground({path}, [this, path, sha](const FileHasher& done) {
        const FileHasher::Result result = done.results().value(0);
        if (!result.read || result.digest != sha.toString()) {
            qWarning() << "Контрольная сумма архива не совпадает:" << path << result.digest;
            QFile::remove(path);
            setStatus(QStringLiteral("Ошибка загрузки файла."));
            return;
        }
        checkArchive(path);
    });
}

void MainWindow::checkArchive(const QString& path) {
    setStatus(QStringLiteral("Проверка архива"));
    // Nothing is removed for an archive that cannot be unpacked: the extractor must start, the
    // archive must open, and its files must fit where the installation, removed first, is now.
    // versionInfo[...] on the non-const object, here and below, as the entry has always been
    // read: it would insert a missing key as null into the record written later, but the keys
    // read this way were required when the entry was chosen, so the record's bytes are the
    // entry's own. Do not turn these into .value() piecemeal.
    const QString targetDir =
        ensureDirectory(paths::dataDir() + versionInfo[QStringLiteral("extract_to")].toString());
    auto* lister = new Decompressor(this);
    connect(lister, &Decompressor::listed, this,
            [this, path, targetDir](bool success, qint64 unpacked, const QString& error) {
                const QString problem =
                    !success
                        ? QStringLiteral("Ошибка при распаковке архива: ") + error
                        : diskspace::shortage(unpacked, QStorageInfo(targetDir).bytesAvailable(),
                                              tree::filesSize(targetDir));
                if (!problem.isEmpty()) {
                    qWarning() << "Архив не распакован:" << path << problem;
                    QFile::remove(path);
                    setStatus(problem);
                    return;
                }
                installArchive(path);
            });
    lister->list(path);
}

void MainWindow::installArchive(const QString& path) {
    // Both labels on purpose: the first is the download's end, which a slow event loop can
    // still show; the second replaces it at once. Kept as the status line has always read.
    setStatus(QStringLiteral("Загрузка завершена успешно."));
    setStatus(QStringLiteral("Распаковка архива"));

    // The entry's "extract_to" was judged when it was chosen: strictly inside the data
    // directory, never on the updater's own files and folders there.
    const QString targetDir =
        ensureDirectory(paths::dataDir() + versionInfo[QStringLiteral("extract_to")].toString());

    if (!path.isEmpty()) {
        // The record describes what is on disk; once the wipe starts it no longer does, and a
        // run interrupted from here on must reinstall rather than verify a partial directory.
        // A record that cannot be removed would do just that: nothing is wiped then.
        if (!removeVersionRecord()) {
            QFile::remove(path);
            setStatus(QStringLiteral("Не удалось удалить файл latestVersion.json. Напишите в "
                                     "техподдержку."));
            return;
        }
        // The settings files are the user's: they wait in the download folder while the
        // installation is replaced, and go back over the release's own copies afterwards. One
        // that cannot be moved would be wiped: nothing is then.
        QString failed;
        if (!tree::keepSettings(targetDir, perFileDir("settings"), &failed)) {
            qWarning() << "Файл настроек не сохранён:" << failed;
            tree::restoreSettings(perFileDir("settings"), targetDir);
            restoreVersionRecord();
            setStatus(QStringLiteral("Ошибка при очистке каталога или каталог не существует."));
            return;
        }
        // Whatever the names, and never through a link. A wipe that fails leaves no record:
        // the next start downloads again and retries it.
        if (!tree::removeTree(paths::dataDir(),
                              versionInfo[QStringLiteral("extract_to")].toString(), &failed)) {
            qWarning() << "Ошибка при очистке каталога:" << failed;
            setStatus(QStringLiteral("Ошибка при очистке каталога или каталог не существует."));
            return;
        }
        qDebug() << "Каталог успешно очищен.";
        // What a per-file update left behind is of no use once the archive is installed.
        for (const char* name : {"/files", "/objects", "/old", "/manifests"}) {
            tree::removeTree(paths::dataDir() + paths::updateSubdir(), QLatin1String(name));
        }
    }

    auto* decompressor = new Decompressor(this);
    connect(decompressor, &Decompressor::decompressionProgress, progressBar,
            &QProgressBar::setValue);
    connect(decompressor, &Decompressor::decompressionFinished, this,
            [this, targetDir](bool success, const QString& errorMessage) {
                onExtractionFinished(success, errorMessage, targetDir);
            });
    decompressor->extract(path, targetDir);
}

void MainWindow::onExtractionFinished(bool success, const QString& errorMessage,
                                      const QString& targetDir) {
    if (!success) {
        setStatus(QStringLiteral("Ошибка при распаковке архива: ") + errorMessage);
        return;
    }
    const QString escaping = tree::linkLeadingOutside(targetDir);
    if (!escaping.isEmpty()) {
        // Nothing from such an archive is kept or launched.
        qWarning() << "Архив содержит ссылку за пределы каталога установки:" << escaping;
        tree::removeTree(paths::dataDir(), versionInfo[QStringLiteral("extract_to")].toString());
        setStatus(QStringLiteral("Ошибка при распаковке архива: архив содержит ссылки за пределы "
                                 "каталога установки. Напишите в техподдержку."));
        return;
    }
    putBackSettings(targetDir);
    setStatus(QStringLiteral("Распаковка завершена успешно."));
    const QString executable = targetDir + versionInfo[QStringLiteral("binary_name")].toString();
    qDebug() << "Бинарник:" << executable;
    if (QFileInfo::exists(executable)) {
        startProcess(executable);
    } else {
        qWarning() << "Файл не найден:" << executable;
        setStatus(QStringLiteral("Исполняемый файл не найден! Напишите в техподдержку."));
    }
}

void MainWindow::putBackSettings(const QString& dirPath) {
    QString failed;
    if (!tree::restoreSettings(perFileDir("settings"), dirPath, &failed)) {
        // Kept where they are: the next installation puts them back.
        qWarning() << "Файл настроек не восстановлен:" << failed;
    }
}

void MainWindow::fallBackToArchive(const QString& why) {
    if (run.repairing && !run.manifest) {
        // Without its manifest the tree cannot be judged beyond the hash list, which it passed:
        // it is launched as before manifests existed, rather than installed again at each start.
        qWarning() << "Манифест установленной версии недоступен:" << why;
        launchVerified();
        return;
    }
    qWarning() << "Обновление по файлам не выполнено, используется архив:" << why;
    run.archiveOnly = true;
    run.manifest.reset();
    if (run.repairing) {
        // The archive of the newest release replaces the damaged installation.
        requestVersionList();
    } else {
        downloadArchive();
    }
}

void MainWindow::startPerFile(bool repair) {
    run.repairing = repair;
    // A manifest checked once is kept under its digest: a start that verifies the whole tree
    // needs no transfer for it.
    const QString copyPath = manifestCopyPath(versionInfo);
    QFile copy(copyPath);
    if (copy.open(QIODevice::ReadOnly)) {
        const QByteArray text = copy.read(documents::MaxManifestSize + 1);
        copy.close();
        if (isNamedManifest(text, versionInfo)) {
            usePerFileManifest(text);
            return;
        }
        copy.remove();
    }
    const QString updateDir = ensureDirectory(paths::dataDir() + paths::updateSubdir());
    downloader = new Downloader(this);
    connect(downloader, &Downloader::updateDownloadProgress, this, &MainWindow::onUpdateProgress);
    connect(downloader, &Downloader::downloadFinished, this,
            [this, copyPath](bool ok, const QString& path) {
                if (!ok && run.cancelled) {
                    setStatus(QStringLiteral("Загрузка отменена"));
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
                    fallBackToArchive(QStringLiteral("манифест не загружен: ") +
                                      downloader->errorString());
                    return;
                }
                if (!isNamedManifest(text, versionInfo)) {
                    fallBackToArchive(
                        QStringLiteral("манифест не совпадает с записью списка версий"));
                    return;
                }
                ensureDirectory(perFileDir("manifests"));
                QString why;
                if (!WholeFile::writeAll(copyPath, text, &why)) {
                    qWarning() << "Ошибка записи в файл:" << why;
                }
                usePerFileManifest(text);
            });
    const QJsonValue size = versionInfo.value(QStringLiteral("manifest_size"));
    if (!downloader->startDownload(
            updateDir, QUrl(versionInfo.value(QStringLiteral("manifest_url")).toString()),
            qint64(size.toDouble()), Downloader::documentTimeLimit())) {
        fallBackToArchive(QStringLiteral("загрузка манифеста не началась"));
    }
}

void MainWindow::usePerFileManifest(const QByteArray& text) {
    QString problem;
    run.manifest = documents::parseManifest(text, &problem);
    if (!run.manifest) {
        fallBackToArchive(QStringLiteral("манифест не прочитан: ") + problem);
        return;
    }
    // A manifest that leaves out the executable (made by hand, or served by someone else) would
    // take the working one away.
    QString binary = versionInfo.value(QStringLiteral("binary_name")).toString();
    while (binary.startsWith(QLatin1Char('/'))) {
        binary.remove(0, 1);
    }
    if (std::none_of(run.manifest->files.cbegin(), run.manifest->files.cend(),
                     [&](const documents::ManifestFile& file) {
                         return folded(file.path) == folded(binary);
                     })) {
        fallBackToArchive(QStringLiteral("в манифесте нет исполняемого файла ") + binary);
        return;
    }
    const QString dirPath = ensureDirectory(
        paths::dataDir() + versionInfo.value(QStringLiteral("extract_to")).toString());
    // Names that are not UTF-8 cannot be compared with the manifest nor moved by name.
    const QString odd = tree::nameNotUtf8(dirPath);
    if (!odd.isEmpty()) {
        fallBackToArchive(QStringLiteral("имя файла не в UTF-8: ") + odd);
        return;
    }
    // Only the files that may be as listed are hashed (once: the verification may have hashed
    // them already); a file of another size is changed. Staged files of an interrupted run
    // count when their bytes are what their names say.
    // A file that the installed release's manifest (when kept here) lists with another digest
    // than the new one is fetched whatever it holds: it is not hashed either.
    QHash<QString, QString> before;
    if (!run.repairing && documents::hasManifest(run.recordEntry)) {
        QFile kept(manifestCopyPath(run.recordEntry));
        const QByteArray old = kept.open(QIODevice::ReadOnly)
                                   ? kept.read(documents::MaxManifestSize + 1)
                                   : QByteArray();
        const auto installedManifest =
            isNamedManifest(old, run.recordEntry) ? documents::parseManifest(old) : std::nullopt;
        for (const documents::ManifestFile& file :
             installedManifest ? installedManifest->files : QVector<documents::ManifestFile>()) {
            before.insert(folded(file.path), file.sha256);
        }
    }
    QHash<QString, qint64> sizes;
    QHash<QString, qint64> stagedSizes;
    for (const documents::ManifestFile& file : run.manifest->files) {
        const QString was = before.value(folded(file.path));
        if (was.isEmpty() || was == file.sha256) {
            sizes.insert(folded(file.path), file.size);
        }
        stagedSizes.insert(file.sha256, file.size);
    }
    const QDir dir(dirPath);
    run.installedEntries = tree::listEntries(dirPath);
    QStringList toHash;
    for (const QString& entry : qAsConst(run.installedEntries)) {
        const QString path = dir.filePath(entry);
        const auto size = sizes.constFind(folded(entry));
        const QFileInfo info(path);
        if (documents::isSettingsFile(entry) || size == sizes.constEnd() || info.isSymLink() ||
            !info.isFile() || info.size() != *size) {
            continue;
        }
        const auto known = run.installedDigests.constFind(path);
        if (known == run.installedDigests.constEnd() || !FileHasher::isCurrent(*known)) {
            toHash << path;
        }
    }
    const QDir staging(perFileDir("files"));
    for (const QString& name : staging.entryList(QDir::Files | QDir::NoSymLinks)) {
        if (QFileInfo(staging.filePath(name)).size() == stagedSizes.value(name, -1)) {
            toHash << staging.filePath(name);
        }
    }
    if (toHash.isEmpty()) {
        planPerFile();
        return;
    }
    hashInBackground(toHash, [this](const FileHasher& done) {
        for (const FileHasher::Result& result : done.results()) {
            run.installedDigests.insert(result.path, result);
        }
        planPerFile();
    });
}

void MainWindow::planPerFile() {
    const QString dirPath =
        paths::dataDir() + versionInfo.value(QStringLiteral("extract_to")).toString();
    const QDir dir(dirPath);
    QHash<QString, QString> installed;
    for (const QString& entry : qAsConst(run.installedEntries)) {
        const auto known = run.installedDigests.constFind(dir.filePath(entry));
        const bool usable = known != run.installedDigests.constEnd() && known->read &&
                            !known->special && FileHasher::isCurrent(*known) &&
                            !QFileInfo(dir.filePath(entry)).isSymLink();
        installed.insert(entry, usable ? known->digest : QString());
    }
    const QJsonValue archiveSize = versionInfo.value(QStringLiteral("size"));
    run.plan = documents::planUpdate(*run.manifest, installed,
                                     archiveSize.isDouble() ? qint64(archiveSize.toDouble()) : -1,
                                     !run.repairing);
    if (run.plan.useArchive) {
        fallBackToArchive(QStringLiteral("изменённые файлы занимают больше %1 % архива")
                              .arg(documents::MaxFetchShare));
        return;
    }
    if (run.repairing && run.plan.fetch.isEmpty()) {
        launchVerified();
        return;
    }
    if (run.repairing) {
        setStatus(QStringLiteral("Файл ") + run.plan.fetch.first().path +
                  QStringLiteral(" не прошел проверку хеша"));
    }

    // What is staged already, with the right bytes, is not fetched again.
    const QDir staging(ensureDirectory(perFileDir("files")));
    QSet<QString> staged;
    for (const QString& name : staging.entryList(QDir::Files | QDir::NoSymLinks)) {
        const auto known = run.installedDigests.constFind(staging.filePath(name));
        if (known != run.installedDigests.constEnd() && known->read && known->digest == name &&
            FileHasher::isCurrent(*known)) {
            staged.insert(name);
        }
    }
    const QUrl manifestUrl(versionInfo.value(QStringLiteral("manifest_url")).toString());
    QVector<StoreFetcher::Item> items;
    qint64 needed = 0;
    for (const documents::ManifestFile& file : qAsConst(run.plan.fetch)) {
        if (staged.contains(file.sha256)) {
            continue;
        }
        staged.insert(file.sha256);
        items.append({documents::storedFileUrl(manifestUrl, *run.manifest, file), file.packed,
                      file.size, file.sha256, staging.filePath(file.sha256)});
        needed += file.size + file.packed;
    }
    // The staged files and, briefly, their compressed objects; the files they replace stay
    // until the swap is done.
    const QString shortage =
        diskspace::shortage(needed, QStorageInfo(staging.path()).bytesAvailable());
    if (!shortage.isEmpty()) {
        qWarning() << "Недостаточно места для загрузки файлов:" << staging.path();
        setStatus(shortage);
        return;
    }
    if (items.isEmpty()) {
        placeChangedFiles();
        return;
    }
    fetcher = new StoreFetcher(this);
    connect(fetcher, &StoreFetcher::progress, this, &MainWindow::onUpdateProgress);
    connect(fetcher, &StoreFetcher::finished, this, [this](bool ok) {
        StoreFetcher* done = fetcher;
        fetcher = nullptr; // Cancel has nothing to stop from here on
        done->deleteLater();
        if (ok) {
            placeChangedFiles();
        } else if (run.cancelled) {
            setStatus(QStringLiteral("Загрузка отменена"));
        } else {
            fallBackToArchive(QStringLiteral("файл не загружен: ") + done->errorString());
        }
    });
    fetcher->start(items, ensureDirectory(perFileDir("objects")));
}

void MainWindow::placeChangedFiles() {
    // The same labels as the archive path: the download has ended, the files are put in place.
    setStatus(QStringLiteral("Загрузка завершена успешно."));
    setStatus(QStringLiteral("Распаковка архива"));
    const QString dirPath =
        paths::dataDir() + versionInfo.value(QStringLiteral("extract_to")).toString();

    // The installed spelling of each path the manifest names (letter case aside on Windows).
    QHash<QString, QString> installedSpelling;
    for (const QString& entry : qAsConst(run.installedEntries)) {
        installedSpelling.insert(folded(entry), entry);
    }
    QStringList aside = run.plan.remove;
    QVector<tree::Placement> place;
    QHash<QString, int> uses;
    for (const documents::ManifestFile& file : qAsConst(run.plan.fetch)) {
        uses[file.sha256] += 1;
    }
    for (const documents::ManifestFile& file : qAsConst(run.plan.fetch)) {
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
        QString staged = perFileDir("files") + QLatin1Char('/') + file.sha256;
        if (--uses[file.sha256] > 0) {
            const QString copy = staged + QLatin1Char('.') + QString::number(place.size());
            QString why;
            if (!WholeFile::copy(staged, copy, &why)) {
                fallBackToArchive(QStringLiteral("не удалось скопировать файл: ") + why);
                return;
            }
            staged = copy;
        }
        place.append({staged, file.path});
    }

    // From here the record no longer describes what is on disk: a run stopped during the swap
    // finds no record and completes the update from the staged files. It is set aside, its
    // version still the floor of a signed build.
    if (!removeVersionRecord()) {
        setStatus(QStringLiteral("Не удалось удалить файл latestVersion.json. Напишите в "
                                 "техподдержку."));
        return;
    }
    tree::removeTree(paths::dataDir() + paths::updateSubdir(), QStringLiteral("/old"));
    const QString asideDir = ensureDirectory(perFileDir("old"));
    QString failed;
    if (!tree::swapFiles(dirPath, aside, place, asideDir, &failed)) {
        // Everything is back as it was: so is the record. The archive replaces the whole tree
        // (and the wipe handles what a swap cannot), once.
        qWarning() << "Файл не заменён:" << failed;
        restoreVersionRecord();
        fallBackToArchive(QStringLiteral("файлы не заменены: ") + failed);
        return;
    }
    const QString updateDir = paths::dataDir() + paths::updateSubdir();
    tree::removeTree(updateDir, QStringLiteral("/old"));
    tree::removeTree(updateDir, QStringLiteral("/files"));
    tree::removeTree(updateDir, QStringLiteral("/objects"));
    // Only the manifest of what is installed now is kept.
    const QDir manifests(perFileDir("manifests"));
    const QString current = QFileInfo(manifestCopyPath(versionInfo)).fileName();
    for (const QString& name : manifests.entryList(QDir::Files)) {
        if (name != current) {
            QFile::remove(manifests.filePath(name));
        }
    }
    putBackSettings(dirPath);
    setStatus(QStringLiteral("Распаковка завершена успешно."));
    const QString executable =
        dirPath + versionInfo.value(QStringLiteral("binary_name")).toString();
    if (QFileInfo::exists(executable)) {
        startProcess(executable);
    } else {
        qWarning() << "Файл не найден:" << executable;
        setStatus(QStringLiteral("Исполняемый файл не найден! Напишите в техподдержку."));
    }
}
