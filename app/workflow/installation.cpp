// The full installation: version list, archive download, wipe, extraction, launch.

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>

#include "decompressor.h"
#include "documents.h"
#include "downloader.h"
#include "mainwindow.h"
#include "paths.h"

namespace {
const char* const oversizedProperty = "quorvexOversized";

// The first symbolic link under dir (at any depth) that leads outside dir, or an empty string.
// 7-Zip already rewrites absolute links and refuses links that climb with "..", but a chain of
// links or another extractor version must not reach outside the installation either.
QString linkLeadingOutside(const QString& dir) {
    const QString root = QFileInfo(dir).canonicalFilePath();
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (!info.isSymLink()) {
            continue;
        }
        // A dangling link resolves to nothing; judge it by the path it names.
        QString target = info.canonicalFilePath();
        if (target.isEmpty()) {
            target =
                QDir::cleanPath(QDir(info.absolutePath()).absoluteFilePath(info.symLinkTarget()));
        }
        if (root.isEmpty() || (target != root && !target.startsWith(root + QLatin1Char('/')))) {
            return info.filePath();
        }
    }
    return QString();
}

QString unusableEntryMessage(const QString& problem) {
    return QStringLiteral("Недопустимая версия в списке версий (%1). Напишите в техподдержку.")
        .arg(problem);
}
} // namespace

void MainWindow::requestVersionList() {
    QNetworkRequest request(paths::serverDocument(serverUrl, QStringLiteral("/versions.json")));
    QNetworkReply* reply = networkManager->get(request);
    versionReply = reply;
    connect(reply, &QNetworkReply::downloadProgress, this, &MainWindow::onUpdateProgress);
    // The list is held in memory: an endless or inflated body is cut off at the size cap.
    connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > documents::MaxVersionListSize) {
            reply->setProperty(oversizedProperty, true);
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
    } else if (reply->error() != QNetworkReply::NoError) {
        qWarning() << "Ошибка загрузки списка версий:" << reply->errorString();
    }
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

    // An entry that would wipe the data directory, climb out of it or launch something
    // outside its installation is refused before anything is downloaded.
    QString problem = documents::installTargetProblem(
        paths::dataDir(), versionInfo.value(QStringLiteral("extract_to")).toString());
    if (problem.isEmpty()) {
        problem = documents::binaryNameProblem(
            versionInfo.value(QStringLiteral("binary_name")).toString());
    }
    if (!problem.isEmpty()) {
        qWarning() << "Недопустимая запись в списке версий:" << problem;
        setStatus(unusableEntryMessage(problem));
        return;
    }

    downloader = new Downloader(this);
    const QString updateDir = ensureDirectory(paths::dataDir() + paths::updateSubdir());
    if (!downloader->startDownload(updateDir, QUrl(selection.downloadUrl, QUrl::TolerantMode))) {
        qWarning() << "Не удалось начать загрузку архива:" << selection.downloadUrl;
        setStatus(QStringLiteral("Ошибка загрузки файла."));
    }
    qDebug() << "Папка для загрузки:" << updateDir;
    connect(downloader, &Downloader::updateDownloadProgress, this, &MainWindow::onUpdateProgress);
    connect(downloader, &Downloader::downloadFinished, this,
            &MainWindow::onDownloadFullVersionFinished);
}

bool MainWindow::verifyArchive(const QString& path) {
    const QString problem = documents::archiveCheckProblem(versionInfo);
    if (!problem.isEmpty()) {
        qWarning() << "Архив не может быть проверен:" << problem;
        return false;
    }
    const qint64 archiveSize = QFileInfo(path).size();
    const QJsonValue size = versionInfo.value(QStringLiteral("size"));
    if (size.isDouble() && archiveSize != static_cast<qint64>(size.toDouble())) {
        qWarning() << "Размер архива не совпадает:" << path << archiveSize;
        return false;
    }
    const QJsonValue sha = versionInfo.value(QStringLiteral("sha256"));
    if (sha.isString()) {
        setStatus(QStringLiteral("Проверка архива"));
        qint64 processed = 0;
        QString digest;
        const bool read = hashFileLive(path, &digest, &processed, archiveSize);
        if (!read || digest != sha.toString()) {
            qWarning() << "Контрольная сумма архива не совпадает:" << path << digest;
            return false;
        }
    }
    return true;
}

void MainWindow::onDownloadFullVersionFinished(bool state, QString path) {
    if (state && !verifyArchive(path)) {
        QFile::remove(path);
        state = false;
    }
    if (!state) {
        setStatus(QStringLiteral("Ошибка загрузки файла."));
        return;
    }
    setStatus(QStringLiteral("Загрузка завершена успешно."));
    setStatus(QStringLiteral("Распаковка архива"));

    // The entry's "extract_to" was judged when it was chosen: it never leads to the data
    // directory, above it, or to the download folder.
    const QString targetDir =
        ensureDirectory(paths::dataDir() + versionInfo[QStringLiteral("extract_to")].toString());

    if (!path.isEmpty()) {
        // The record describes what is on disk; once the wipe starts it no longer does, and a
        // run interrupted from here on must reinstall rather than verify an empty directory.
        removeVersionRecord();
        QDir dir(targetDir);
        if (!dir.exists() || !dir.removeRecursively()) {
            qDebug() << "Ошибка при очистке каталога или каталог не существует.";
            setStatus(QStringLiteral("Ошибка при очистке каталога или каталог не существует."));
            return;
        }
        qDebug() << "Каталог успешно очищен.";
    }

    auto* decompressor = new Decompressor(this);
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
    const QString escaping = linkLeadingOutside(targetDir);
    if (!escaping.isEmpty()) {
        // Nothing from such an archive is kept or launched.
        qWarning() << "Архив содержит ссылку за пределы каталога установки:" << escaping;
        QDir(targetDir).removeRecursively();
        setStatus(QStringLiteral("Ошибка при распаковке архива: архив содержит ссылки за пределы "
                                 "каталога установки. Напишите в техподдержку."));
        return;
    }
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
