#include "wholefile.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_WIN
QString systemMessage(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString message =
        text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(code);
    LocalFree(text);
    return message;
}
#else
QString systemMessage(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}
#endif
} // namespace

WholeFile::WholeFile(const QString& path)
    : target(path) {}

WholeFile::~WholeFile() {
    if (!committed) {
        cancel();
    }
}

bool WholeFile::fail(const QString& why) {
    if (problem.isEmpty()) {
        problem = QStringLiteral("cannot write %1: %2").arg(target, why);
    }
    cancel();
    return false;
}

bool WholeFile::open() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString name = target + QLatin1Char('.');
        for (int i = 0; i < 6; ++i) {
            name += QLatin1Char(letters[QRandomGenerator::global()->bounded(62)]);
        }
        file.setFileName(name);
        // Created here, never opened if it exists: the mode follows the umask, as for any new
        // file of this user.
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            const QFileInfo previous(target);
            if (previous.exists() && !previous.isSymLink()) {
                file.setPermissions(previous.permissions());
            }
            return true;
        }
        if (file.error() != QFileDevice::OpenError || !QFileInfo::exists(name)) {
            break;
        }
    }
    problem = QStringLiteral("cannot write %1: %2").arg(target, file.errorString());
    file.setFileName(QString());
    return false;
}

bool WholeFile::write(const char* data, qint64 size) {
    if (!file.isOpen()) {
        return problem.isEmpty() ? fail(QStringLiteral("the file is not open")) : false;
    }
    qint64 done = 0;
    while (done < size) {
        const qint64 now = file.write(data + done, size - done);
        if (now <= 0) {
            return fail(file.errorString());
        }
        done += now;
    }
    count += size;
    return true;
}

bool WholeFile::commit(bool sync) {
    if (!file.isOpen()) {
        return problem.isEmpty() ? fail(QStringLiteral("the file is not open")) : false;
    }
    if (!file.flush()) {
        return fail(file.errorString());
    }
#ifdef Q_OS_WIN
    if (sync && !FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle())))) {
        return fail(systemMessage(GetLastError()));
    }
    const qint64 onDisk = file.size();
#else
    // Some file systems cannot sync a file (EINVAL); their writes were already checked.
    if (sync && ::fsync(file.handle()) != 0 && errno != EINVAL && errno != ENOTSUP) {
        return fail(systemMessage(errno));
    }
    struct stat status {};
    if (::fstat(file.handle(), &status) != 0) {
        return fail(systemMessage(errno));
    }
    const qint64 onDisk = qint64(status.st_size);
#endif
    if (onDisk != count) {
        return fail(QStringLiteral("%1 of %2 bytes reached the file").arg(onDisk).arg(count));
    }
    file.close();
    if (file.error() != QFileDevice::NoError) {
        return fail(file.errorString());
    }
    QString why;
    if (!replaceFile(file.fileName(), target, &why)) {
        problem = why;
        cancel();
        return false;
    }
    committed = true;
    return true;
}

void WholeFile::cancel() {
    if (file.fileName().isEmpty()) {
        return;
    }
    file.close();
    QFile::remove(file.fileName());
    file.setFileName(QString());
}

bool WholeFile::writeAll(const QString& path, const QByteArray& bytes, QString* error) {
    WholeFile file(path);
    const bool ok = file.open() && file.write(bytes) && file.commit();
    if (!ok && error) {
        *error = file.errorString();
    }
    return ok;
}

bool WholeFile::copy(const QString& from, const QString& to, QString* error) {
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        if (error) {
            *error = QStringLiteral("cannot read %1: %2").arg(from, in.errorString());
        }
        return false;
    }
    WholeFile out(to);
    bool ok = out.open();
    QByteArray block(256 * 1024, Qt::Uninitialized);
    while (ok) {
        const qint64 got = in.read(block.data(), block.size());
        if (got <= 0) {
            if (got < 0) {
                out.fail(QStringLiteral("cannot read %1: %2").arg(from, in.errorString()));
                ok = false;
            }
            break;
        }
        ok = out.write(block.constData(), got);
    }
    ok = ok && out.commit();
    if (!ok && error) {
        *error = out.errorString();
    }
    return ok;
}

bool replaceFile(const QString& from, const QString& to, QString* error) {
#ifdef Q_OS_WIN
    if (MoveFileExW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    const QString why = systemMessage(GetLastError());
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0) {
        return true;
    }
    const QString why = systemMessage(errno);
#endif
    if (error) {
        *error = QStringLiteral("cannot move %1 to %2: %3").arg(from, to, why);
    }
    return false;
}
