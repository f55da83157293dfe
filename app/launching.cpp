// Starting other programs detached, recording the installed version, and the start-up
// hand-off to an installed copy of the updater.

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QProgressBar>
#include <QTimer>

#include "mainwindow.h"
#include "paths.h"
#include "record.h"
#include "runlock.h"
#include "wholefile.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#endif

bool MainWindow::startProcess(QString binaryPath) {
    if (!QFileInfo::exists(binaryPath)) {
        qWarning() << "Файл не найден:" << binaryPath;
        setStatus(QStringLiteral("Исполняемый файл не найден! Напишите в техподдержку."));
        return false;
    }
    // Another user could have put their own program there: it is not started.
    const QString exposed = paths::changeableByOthers(binaryPath);
    if (!exposed.isEmpty()) {
        qWarning() << "Файл могут изменять другие пользователи:" << exposed;
        setStatus(QStringLiteral("Файл %1 могут изменять другие пользователи: запуск отменён. "
                                 "Напишите в техподдержку.")
                      .arg(QDir::toNativeSeparators(binaryPath)));
        return false;
    }
    auto* process = new QProcess(this);
    process->setProgram(binaryPath);
    process->setArguments({});
    process->setProcessChannelMode(QProcess::ForwardedChannels);
#ifndef Q_OS_WIN
    // The program creates its files as its user would have it, not as the updater does.
    const mode_t ownMask = umask(mode_t(paths::userFileMask()));
    const bool started = process->startDetached();
    umask(ownMask);
#else
    const bool started = process->startDetached();
#endif
    if (!started) {
        qWarning() << "Ошибка при запуске процесса";
        setStatus(QStringLiteral("Ошибка при запуске исполняемого файла."));
        return false;
    }
    qDebug() << "Процесс успешно запущен.";
    setStatus(QStringLiteral("Приложение запущено"));
    // A run waiting for this one need not start the application again; a hand-off is no launch.
    if (binaryPath != paths::dataDir() + paths::separateUpdateProgram() &&
        binaryPath != paths::dataDir() + paths::installedUpdaterName()) {
        RunLock::noteLaunch();
    }
    // A start-up hand-off runs before any record was read: an empty entry must not replace
    // the stored record.
    // Once it is written, the record set aside during the installation has served.
    if (!versionInfo.isEmpty() &&
        saveVersionRecord(versionInfo, paths::dataDir() + paths::recordFileName())) {
        const QString aside = paths::dataDir() + paths::recordAsideName();
        QFile::remove(aside);
        QDir().rmdir(QFileInfo(aside).path());
    }
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    return true;
}

namespace record {

bool setAside() {
    const QString recordPath = paths::dataDir() + paths::recordFileName();
    const QFileInfo current(recordPath);
    if (!current.exists() && !current.isSymLink()) {
        return true;
    }
    const QString aside = paths::dataDir() + paths::recordAsideName();
    QString why;
    if (current.isFile() && !current.isSymLink() && QDir().mkpath(QFileInfo(aside).path()) &&
        replaceFile(recordPath, aside, &why)) {
        return true;
    }
    if (!QFile::remove(recordPath)) {
        qWarning() << "Не удалось удалить файл:" << recordPath << why;
        return false;
    }
    return true;
}

void restore() {
    const QString recordPath = paths::dataDir() + paths::recordFileName();
    const QString aside = paths::dataDir() + paths::recordAsideName();
    QString why;
    if (QFileInfo::exists(aside) && !QFileInfo::exists(recordPath) &&
        !replaceFile(aside, recordPath, &why)) {
        qWarning() << "Ошибка записи в файл:" << why;
    }
}

} // namespace record

bool MainWindow::saveVersionRecord(const QJsonObject& record, const QString& path) {
    const QString text = QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Indented));
    // Written whole and proven on disk before it replaces the previous one: a crash or a full
    // disk never leaves half a record.
    QString why;
    if (WholeFile::writeAll(path, text.toUtf8(), &why)) {
        qDebug() << "Файл latestVersion.json успешно сохранен в:" << path;
        return true;
    }
    qWarning() << "Ошибка при сохранении файла latestVersion.json в:" << path << why;
    return false;
}

namespace {
// The one spelling of an existing file: links resolved and, on Windows, short (8.3) names
// expanded; empty when there is no such file.
QString realPath(const QString& path) {
    QString real = QFileInfo(path).canonicalFilePath();
#ifdef Q_OS_WIN
    wchar_t buffer[32768];
    const QString native = QDir::toNativeSeparators(real);
    const auto* wide = reinterpret_cast<const wchar_t*>(native.utf16());
    const DWORD length = GetLongPathNameW(wide, buffer, 32768);
    if (!real.isEmpty() && length > 0 && length < 32768) {
        real = QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(length)));
    }
#endif
    return real;
}
} // namespace

void MainWindow::launchInstalledUpdater() {
    const QString current = QCoreApplication::applicationFilePath();
    const QString installed = paths::dataDir() + paths::installedUpdaterName();
    qDebug() << "Текущее расположение" << current;
    // The same file, not the same spelling: the running executable's path is resolved, the
    // data directory may be reached through links, or spelled with another letter case or
    // with short names on Windows.
    const QString resolved = realPath(installed);
    if (resolved.isEmpty() || QString::compare(realPath(current), resolved, paths::nameCase) == 0) {
        qDebug() << "Приложение не найдено!" << installed;
        return;
    }
    qDebug() << "Приложение найдено!" << installed << "запустим его";
    startProcess(installed);
}

void MainWindow::launchVerified() {
    progressBar->setValue(100);
    const QString dirPath = paths::dataDir() + versionInfo[QStringLiteral("extract_to")].toString();
    setStatus(
        QStringLiteral("Верификация успешно завершена: все файлы имеют правильные хеш-суммы"));
    const QString executable = dirPath + versionInfo[QStringLiteral("binary_name")].toString();
    if (QFileInfo::exists(executable) && !paths::changeableByOthers(executable).isEmpty()) {
        // Installed again, the files are the user's only.
        setStatus(QStringLiteral("Файл %1 могут изменять другие пользователи: запуск отменён. "
                                 "Напишите в техподдержку.")
                      .arg(QDir::toNativeSeparators(executable)));
        requestVersionList();
    } else if (QFileInfo::exists(executable)) {
        startProcess(executable);
    } else {
        qWarning() << "Файл не найден:" << executable;
        setStatus(QStringLiteral("Исполняемый файл не найден! Напишите в техподдержку."));
        // The record names an installation that is not there (deleted, or never complete):
        // without it the next run installs again instead of stopping here every time.
        record::setAside();
    }
}
