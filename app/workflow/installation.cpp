// The full installation: version list, archive download, wipe, extraction, launch. One chain of
// slots on the window's run, each step starting the next; it stays in one file (a little over
// 400 lines) so that the chain reads in the order it runs.

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
#include "manifest.h"
#include "network.h"
#include "paths.h"
#include "perfileupdate.h"
#include "record.h"
#include "sha256.h"
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
        empty(PerFileUpdate::folder("files")) && empty(PerFileUpdate::folder("old"));
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
        if (!record::setAside()) {
            QFile::remove(path);
            setStatus(QStringLiteral("Не удалось удалить файл latestVersion.json. Напишите в "
                                     "техподдержку."));
            return;
        }
        // The settings files are the user's: they wait in the download folder while the
        // installation is replaced, and go back over the release's own copies afterwards. One
        // that cannot be moved would be wiped: nothing is then.
        QString failed;
        if (!tree::keepSettings(targetDir, PerFileUpdate::folder("settings"), &failed)) {
            qWarning() << "Файл настроек не сохранён:" << failed;
            tree::restoreSettings(PerFileUpdate::folder("settings"), targetDir);
            record::restore();
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
    if (!tree::restoreSettings(PerFileUpdate::folder("settings"), dirPath, &failed)) {
        // Kept where they are: the next installation puts them back.
        qWarning() << "Файл настроек не восстановлен:" << failed;
    }
}

void MainWindow::startPerFile(bool repair) {
    perFile = new PerFileUpdate({versionInfo, run.recordEntry, repair, run.installedDigests}, this);
    connect(perFile, &PerFileUpdate::progress, this, &MainWindow::onUpdateProgress);
    connect(perFile, &PerFileUpdate::hashProgress, progressBar, &QProgressBar::setValue);
    connect(perFile, &PerFileUpdate::status, this, &MainWindow::setStatus);
    connect(perFile, &PerFileUpdate::finished, this,
            [this, repair](PerFileUpdate::End end, const QString& detail) {
                perFile->deleteLater();
                perFile = nullptr;
                endPerFile(end, detail, repair);
            });
    perFile->start();
}

void MainWindow::endPerFile(PerFileUpdate::End end, const QString& detail, bool repair) {
    switch (end) {
    case PerFileUpdate::End::Installed:
        if (QFileInfo::exists(detail)) {
            startProcess(detail);
        } else {
            qWarning() << "Файл не найден:" << detail;
            setStatus(QStringLiteral("Исполняемый файл не найден! Напишите в техподдержку."));
        }
        break;
    case PerFileUpdate::End::Intact:
        launchVerified();
        break;
    case PerFileUpdate::End::NoManifest:
        // Without its manifest the tree cannot be judged beyond the hash list, which it passed:
        // it is launched as before manifests existed, rather than installed again at each start.
        qWarning() << "Манифест установленной версии недоступен:" << detail;
        launchVerified();
        break;
    case PerFileUpdate::End::FallBack:
        qWarning() << "Обновление по файлам не выполнено, используется архив:" << detail;
        run.archiveOnly = true;
        if (repair) {
            // The archive of the newest release replaces the damaged installation.
            requestVersionList();
        } else {
            downloadArchive();
        }
        break;
    case PerFileUpdate::End::Stopped:
        setStatus(detail);
        break;
    }
}
