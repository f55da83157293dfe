// The start-up check: read the installed-version record, then verify every installed file
// against the server's hash list before launching. The files are hashed on worker threads
// while the hash list downloads; they are judged once both are there.

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>

#include "documents.h"
#include "downloader.h"
#include "mainwindow.h"
#include "manifest.h"
#include "paths.h"
#include "record.h"
#include "wholefile.h"

void MainWindow::checkForInstalledApplication() {
    const QString recordPath = paths::dataDir() + paths::recordFileName();
    qDebug() << "из" << recordPath;
    if (QFileInfo::exists(recordPath)) {
        QFile file(recordPath);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            qWarning() << "Не удалось открыть файл latestVersion.json для чтения";
        } else {
            const QByteArray text = file.readAll();
            file.close();
            if (const auto record = documents::parseRecord(text)) {
                versionInfo = *record;
                run.recordEntry = *record;
                installedNumber = documents::versionNumber(
                    versionInfo.value(QStringLiteral("version")).toString());
                setStatus(QStringLiteral("Установлена версия: %1")
                              .arg(versionInfo[QStringLiteral("version")].toString()));
                verifyInstalledVersion();
                return;
            }
            qWarning() << "Файл latestVersion.json содержит некорректный JSON";
        }
    }
    // A record set aside while an installation was being replaced, by a run that did not get
    // to write the new one: its version is still the floor.
    QFile aside(paths::dataDir() + paths::recordAsideName());
    if (aside.open(QIODevice::ReadOnly)) {
        if (const auto record = documents::parseRecord(aside.read(1024 * 1024))) {
            installedNumber =
                documents::versionNumber(record->value(QStringLiteral("version")).toString());
        }
        aside.close();
    }
    requestVersionList();
}

void MainWindow::verifyInstalledVersion() {
    // A second call (the list fetched again after a signature that did not check out) keeps
    // the hashing already under way or done.
    if (!hasher && !run.installedHashed) {
        const QDir dir(paths::dataDir() +
                       versionInfo.value(QStringLiteral("extract_to")).toString());
        QStringList files;
        for (const QString& name : documents::verifiedFileNames(dir.path())) {
            files << dir.filePath(name);
        }
        hashInstalledFiles(files);
    }
    downloader = new Downloader(this);
    // A signed build keeps the previous hash list until the signature of the new one holds.
    const QString dest = ensureDirectory(
        paths::dataDir() + (publicKeys.isEmpty() ? QString() : paths::updateSubdir()));
    setStatus(QStringLiteral("Начинаю загрузку хеш таблицы"));
    connect(downloader, &Downloader::downloadFinished, this,
            &MainWindow::onHashListDownloadFinished);
    connect(downloader, &Downloader::updateDownloadProgress, this, &MainWindow::onUpdateProgress);
    // A transfer that cannot start (the file cannot be created) reports like a failed one
    // instead of leaving the window on a message that looks like work in progress.
    // The list is read whole into memory afterwards: its size and its time are capped.
    if (!downloader->startDownload(
            dest, paths::serverDocument(serverUrl, QStringLiteral("/hashlist.json")),
            documents::MaxHashListSize, Downloader::documentTimeLimit())) {
        qWarning() << "Не удалось начать загрузку таблицы хеш в" << dest;
        setStatus(QStringLiteral("Возникла ошибка при загрузке таблицы хеш"));
    }
}

void MainWindow::onHashListDownloadFinished(bool success, QString filePath) {
    if (!success) {
        stopHashing();
        setStatus(run.cancelled ? QStringLiteral("Загрузка отменена")
                                : QStringLiteral("Возникла ошибка при загрузке таблицы хеш"));
        logFailure(downloader);
        return;
    }
    setStatus(QStringLiteral("Хеш-таблицы загружены, начинаю верификацию"));
    // The exact bytes: they are what the signature is over.
    QFile hashFile(filePath);
    if (!hashFile.open(QIODevice::ReadOnly)) {
        setStatus(QStringLiteral("Не удалось открыть файл хеш-листа JSON"));
        return;
    }
    const QByteArray text = hashFile.readAll();
    hashFile.close();
    if (publicKeys.isEmpty()) {
        verifyInstalledFiles(text);
        return;
    }
    QFile::remove(filePath);
    checkSignature(
        QStringLiteral("/hashlist.json"), text,
        [this, text] {
            QString why;
            if (!WholeFile::writeAll(paths::dataDir() + QStringLiteral("/hashlist.json"), text,
                                     &why)) {
                qWarning() << "Ошибка записи в файл:" << why;
                setStatus(QStringLiteral("Возникла ошибка при загрузке таблицы хеш"));
                return;
            }
            verifyInstalledFiles(text);
        },
        [this] { verifyInstalledVersion(); });
}

void MainWindow::verifyInstalledFiles(const QByteArray& text) {
    run.hashList = documents::parseHashList(text);
    if (!run.hashList) {
        stopHashing();
        setStatus(QStringLiteral("Ошибка при разборе файла хеш-листа JSON"));
        return;
    }
    if (run.installedHashed) {
        compareInstalledFiles();
    }
}

void MainWindow::hashInstalledFiles(const QStringList& files) {
    run.installedHashed = false;
    hashInBackground(files, [this](const FileHasher& done) {
        for (const FileHasher::Result& result : done.results()) {
            run.installedDigests.insert(result.path, result);
        }
        run.installedHashed = true;
        if (run.hashList) {
            compareInstalledFiles();
        }
    });
}

void MainWindow::compareInstalledFiles() {
    // The files as they are now, in name order: the first one that does not match is named.
    // A file that appeared or changed since it was hashed (the hash list itself, when the
    // installation is the data directory) is hashed once more first.
    const QString dirPath = paths::dataDir() + versionInfo[QStringLiteral("extract_to")].toString();
    const QDir dir(dirPath);
    const QStringList names = documents::verifiedFileNames(dirPath);
    QStringList changed;
    for (const QString& name : names) {
        const auto known = run.installedDigests.constFind(dir.filePath(name));
        if (known == run.installedDigests.constEnd() || !FileHasher::isCurrent(*known)) {
            changed << dir.filePath(name);
        }
    }
    if (!changed.isEmpty() && !run.hashedAgain) {
        run.hashedAgain = true;
        hashInstalledFiles(changed);
        return;
    }

    for (const QString& name : names) {
        const FileHasher::Result result = run.installedDigests.value(dir.filePath(name));
        // A FIFO or a device (or a link to one) is not what any hash list describes.
        if (!result.read && !result.special) {
            setStatus(QStringLiteral("Не удалось открыть файл ") + name +
                      QStringLiteral(" для чтения"));
            return;
        }
        if (result.special || result.digest != run.hashList->value(name).toString()) {
            setStatus(QStringLiteral("Файл ") + name + QStringLiteral(" не прошел проверку хеша"));
            requestVersionList();
            return;
        }
    }
    // The files in folders are verified against the record's manifest, and mended from the
    // store when damaged.
    if (documents::hasManifest(versionInfo) && !run.treeChecked && !run.archiveOnly) {
        run.treeChecked = true;
        startPerFile(true);
        return;
    }
    launchVerified();
}
