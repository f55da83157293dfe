// The start-up check: read the installed-version record, then verify every installed file
// against the server's hash list before launching.

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>

#include "documents.h"
#include "downloader.h"
#include "mainwindow.h"
#include "paths.h"

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
                setStatus(QStringLiteral("Установлена версия: %1")
                              .arg(versionInfo[QStringLiteral("version")].toString()));
                verifyInstalledVersion();
                return;
            }
            qWarning() << "Файл latestVersion.json содержит некорректный JSON";
        }
    }
    requestVersionList();
}

void MainWindow::verifyInstalledVersion() {
    downloader = new Downloader(this);
    const QString dest = ensureDirectory(paths::dataDir());
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
        setStatus(cancelled ? QStringLiteral("Загрузка отменена")
                            : QStringLiteral("Возникла ошибка при загрузке таблицы хеш"));
        return;
    }
    setStatus(QStringLiteral("Хеш-таблицы загружены, начинаю верификацию"));
    QFile hashFile(filePath);
    if (!hashFile.open(QIODevice::ReadOnly | QIODevice::Text)) {
        setStatus(QStringLiteral("Не удалось открыть файл хеш-листа JSON"));
        return;
    }
    const QByteArray text = hashFile.readAll();
    hashFile.close();
    const auto parsed = documents::parseHashList(text);
    if (!parsed) {
        setStatus(QStringLiteral("Ошибка при разборе файла хеш-листа JSON"));
        return;
    }
    const QJsonObject hashes = *parsed;

    // The hash list was just written into the data directory, so it exists.
    const QString dirPath = paths::dataDir() + versionInfo[QStringLiteral("extract_to")].toString();
    const QDir dir(dirPath);
    const QStringList names = documents::verifiedFileNames(dirPath);
    qint64 total = 0;
    for (const QString& name : names) {
        total += QFileInfo(dir.filePath(name)).size();
    }

    qint64 processed = 0;
    for (const QString& name : names) {
        QString actual;
        if (!hashFileLive(dir.filePath(name), &actual, &processed, total)) {
            setStatus(QStringLiteral("Не удалось открыть файл ") + name +
                      QStringLiteral(" для чтения"));
            return;
        }
        const QString expected = hashes.value(name).toString();
        if (actual != expected) {
            setStatus(QStringLiteral("Файл ") + name + QStringLiteral(" не прошел проверку хеша"));
            requestVersionList();
            return;
        }
    }

    setStatus(
        QStringLiteral("Верификация успешно завершена: все файлы имеют правильные хеш-суммы"));
    const QString executable = dirPath + versionInfo[QStringLiteral("binary_name")].toString();
    if (QFileInfo::exists(executable)) {
        startProcess(executable);
    } else {
        qWarning() << "Файл не найден:" << executable;
        setStatus(QStringLiteral("Исполняемый файл не найден! Напишите в техподдержку."));
        // The record names an installation that is not there (deleted, or never complete):
        // without it the next run installs again instead of stopping here every time.
        removeVersionRecord();
    }
}
