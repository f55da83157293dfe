#include "serverfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include "console.h"
#include "decompressor.h"
#include "documents.h"
#include "sha256.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace publish {

bool isLink(const QString& path) {
#ifdef Q_OS_WIN
    // Qt 5 sees junctions as directories; the reparse tag tells links from other reparse
    // points (files kept in the cloud, deduplicated ones), which are no names of elsewhere.
    WIN32_FIND_DATAW data;
    const HANDLE found = FindFirstFileW(
        reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()), &data);
    if (found == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(found);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           IsReparseTagNameSurrogate(data.dwReserved0);
#else
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISLNK(status.st_mode);
#endif
}

namespace {
void collectLinks(const QDir& base, const QString& folder, bool descend, QStringList* links) {
    // At the top, the names that publish writes: the documents, their signatures, the
    // archives, the journal, what it stages beside them, and the two folders.
    static const QStringList written{QStringLiteral("versions.json*"),
                                     QStringLiteral("hashlist.json*"),
                                     QStringLiteral("quorvex-*.7z"),
                                     QStringLiteral(".versions.json*"),
                                     QStringLiteral(".hashlist.json*"),
                                     QStringLiteral(".quorvex-*.7z*"),
                                     QStringLiteral(".qv_publish.*"),
                                     QStringLiteral("manifests"),
                                     QStringLiteral("store")};
    const QStringList names = QDir(folder).entryList(
        descend ? QStringList() : written,
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        const QString path = folder + QLatin1Char('/') + name;
        if (isLink(path)) {
            const QString target = QFileInfo(path).symLinkTarget();
            *links << base.relativeFilePath(path) +
                          (target.isEmpty() ? QString() : QStringLiteral(" -> ") + target);
        } else if (descend && QFileInfo(path).isDir()) {
            collectLinks(base, path, true, links);
        }
    }
}
} // namespace

QString linkProblem(const QString& path) {
    return isLink(path)
               ? QStringLiteral("%1 is a symbolic link: publish never writes through one").arg(path)
               : QString();
}

QString StoreFolders::prepare(const QString& folder) {
    QMutexLocker locker(&lock);
    if (made.contains(folder)) {
        return QString();
    }
    for (const QString& path : {QFileInfo(folder).path(), folder}) {
        const QString link = linkProblem(path);
        if (!link.isEmpty()) {
            return link;
        }
    }
    if (!QDir().mkpath(folder)) {
        return QStringLiteral("cannot create %1").arg(folder);
    }
    made.insert(folder);
    return QString();
}

QStringList serverLinks(const QString& serverDir) {
    const QDir base(serverDir);
    QStringList links;
    collectLinks(base, base.absolutePath(), false, &links);
    for (const char* folder : {"manifests", "store"}) {
        const QString path = base.absoluteFilePath(QLatin1String(folder));
        if (!isLink(path) && QFileInfo(path).isDir()) {
            collectLinks(base, path, true, &links);
        }
    }
    return links;
}

FileSystemSync::FileSystemSync(const QString& folder)
    : path(folder) {
#ifdef Q_OS_LINUX
    handle = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
}

FileSystemSync::~FileSystemSync() {
#ifdef Q_OS_LINUX
    if (handle >= 0) {
        ::close(handle);
    }
#endif
}

bool FileSystemSync::sync(QString* error) {
#ifdef Q_OS_LINUX
    if (handle >= 0 && ::syncfs(handle) == 0) {
        return true;
    }
    *error = QStringLiteral("cannot write the files in %1 to the disk: %2")
                 .arg(path, QString::fromLocal8Bit(std::strerror(handle >= 0 ? errno : EBADF)));
    return false;
#else
    Q_UNUSED(error)
    return true;
#endif
}

namespace {
// Hashes path, adding each block to *done and reporting *done as a share of total under step.
bool hashCounted(const QString& path, const QString& step, qint64 total, qint64* done,
                 Reporter& reporter, QString* digest, QString* error) {
    QString why;
    const bool ok = Sha256::hashFile(
        path, digest,
        [&](qint64 block) {
            *done += block;
            if (total > 0) {
                reporter.progress(step, static_cast<int>(*done * 100 / total));
            }
            return true;
        },
        &why);
    if (!ok) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, why);
    }
    return ok;
}
} // namespace

bool hashFile(const QString& path, const QString& step, Reporter& reporter, QString* digest,
              QString* error) {
    qint64 done = 0;
    reporter.progress(step, 0);
    if (!hashCounted(path, step, QFileInfo(path).size(), &done, reporter, digest, error)) {
        return false;
    }
    reporter.progress(step, 100);
    return true;
}

bool hashCheckedFiles(const QString& dir, QJsonObject* hashes, Reporter& reporter, QString* error) {
    const QStringList names = documents::verifiedFileNames(dir);
    qint64 total = 0;
    for (const QString& name : names) {
        total += QFileInfo(QDir(dir).filePath(name)).size();
    }
    qint64 done = 0;
    const QString step = QStringLiteral("Hashing files");
    reporter.progress(step, 0);
    for (const QString& name : names) {
        QString digest;
        if (!hashCounted(QDir(dir).filePath(name), step, total, &done, reporter, &digest, error)) {
            return false;
        }
        hashes->insert(name, digest);
    }
    reporter.progress(step, 100);
    return true;
}

QString sevenZipProblem() {
    const QString path = QDir::toNativeSeparators(Decompressor::extractorPath());
    const QFileInfo program(path);
    if (program.isFile() && program.isExecutable()) {
        return QString();
    }
    return QStringLiteral("7-Zip is %1 %2, where qv_publish looks for it (the folder 7Z beside "
                          "itself, as the updater does): put the folder 7Z of the build or of "
                          "the installation, with its 7z.exe, beside %3, or run the qv_publish "
                          "that lies beside one")
        .arg(program.exists() ? QStringLiteral("not a program it can run at")
                              : QStringLiteral("not at"),
             path, QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
}

bool createArchive(const QString& sourceDir, const QString& archivePath, Reporter& reporter,
                   QString* error) {
    if (const QString missing = sevenZipProblem(); !missing.isEmpty()) {
        *error = missing;
        return false;
    }
    QFile::remove(archivePath);
    QProcess process;
    process.setProgram(Decompressor::extractorPath());
    // "*" is 7-Zip's own wildcard (not the shell's): every entry, hidden ones included,
    // directories with their contents, stored relative to sourceDir.
    process.setArguments({QStringLiteral("a"), QStringLiteral("-t7z"), QStringLiteral("-y"),
                          QStringLiteral("-bso0"), QStringLiteral("-bse1"), QStringLiteral("-bsp1"),
                          archivePath, QStringLiteral("*")});
    process.setWorkingDirectory(sourceDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QString step = QStringLiteral("Compressing");
    QByteArray output;
    static const QRegularExpression percent(QStringLiteral("(\\d+)%"));
    QObject::connect(&process, &QProcess::readyRead, [&] {
        const QByteArray chunk = process.readAll();
        output += chunk;
        auto it = percent.globalMatch(QString::fromLocal8Bit(chunk));
        while (it.hasNext()) {
            reporter.progress(step, it.next().captured(1).toInt());
        }
    });
    reporter.progress(step, 0);
    process.start();
    if (!process.waitForStarted(Decompressor::StartTimeoutMs)) {
        *error = QStringLiteral("cannot start 7-Zip (%1): %2")
                     .arg(Decompressor::extractorPath(), process.errorString());
        return false;
    }
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        // Progress lines are redrawn with backspaces; only the text is worth showing.
        QString text = QString::fromLocal8Bit(output);
        text.remove(QChar('\b'));
        *error = QStringLiteral("7-Zip failed (exit code %1): %2")
                     .arg(process.exitCode())
                     .arg(text.simplified());
        QFile::remove(archivePath);
        return false;
    }
    reporter.progress(step, 100);
    return true;
}

bool extractArchive(const QString& archivePath, const QString& targetDir, Reporter& reporter,
                    QString* error) {
    if (const QString missing = sevenZipProblem(); !missing.isEmpty()) {
        *error = missing;
        return false;
    }
    reporter.info(
        QStringLiteral("Unpacking the archive with %1").arg(Decompressor::extractorPath()));
    Decompressor decompressor;
    QEventLoop loop;
    bool success = false;
    QString message;
    QObject::connect(&decompressor, &Decompressor::decompressionFinished,
                     [&](bool ok, const QString& why) {
                         success = ok;
                         message = why;
                         loop.quit();
                     });
    QObject::connect(&decompressor, &Decompressor::decompressionProgress, [&](int done, int total) {
        if (total > 0) {
            reporter.progress(QStringLiteral("Extracting"),
                              static_cast<int>(qint64(done) * 100 / total));
        }
    });
    bool reported = false;
    QObject::connect(&decompressor, &Decompressor::decompressionFinished, [&] { reported = true; });
    decompressor.extract(archivePath, targetDir);
    if (!reported) {
        loop.exec();
    }
    if (!success) {
        *error = QStringLiteral("7-Zip could not unpack %1: %2").arg(archivePath, message);
    }
    return success;
}

} // namespace publish
