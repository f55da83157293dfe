#include "runlock.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <cerrno>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
RunLock* held = nullptr;
const QByteArray launchedMark = "launched\n";
} // namespace

RunLock::RunLock(const QString& dataDir)
    : path(dataDir + fileName()) {
    if (!QDir().mkpath(dataDir)) {
        qWarning() << "Ошибка при создании папки:" << dataDir;
    }
#ifndef Q_OS_WIN
    // Left open to others by an earlier run under a permissive umask.
    struct stat status;
    const QByteArray dir = QFile::encodeName(dataDir);
    if (::stat(dir.constData(), &status) == 0 && status.st_uid == geteuid() &&
        (status.st_mode & (S_IRWXG | S_IRWXO))) {
        ::chmod(dir.constData(), S_IRWXU);
    }
    // Not inherited by the programs the updater starts: the lock ends with this process.
    fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC,
                S_IRUSR | S_IWUSR);
    if (fd < 0) {
        qWarning() << "Не удалось открыть файл блокировки:" << path;
    }
#endif
}

RunLock::~RunLock() {
    if (held == this) {
        held = nullptr;
    }
#ifdef Q_OS_WIN
    if (handle) {
        CloseHandle(handle);
    }
#else
    if (fd >= 0) {
        ::close(fd);
    }
#endif
}

bool RunLock::tryTake() {
    QByteArray text(launchedMark.size(), '\0');
#ifdef Q_OS_WIN
    // Opened without sharing: nobody else opens it until this process ends.
    const QString native = QDir::toNativeSeparators(path);
    const HANDLE opened =
        CreateFileW(reinterpret_cast<const wchar_t*>(native.utf16()), GENERIC_READ | GENERIC_WRITE,
                    0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_SHARING_VIOLATION) {
            return false;
        }
        qWarning() << "Не удалось открыть файл блокировки:" << path;
        return true;
    }
    handle = opened;
    DWORD got = 0;
    if (!ReadFile(handle, text.data(), DWORD(text.size()), &got, nullptr)) {
        got = 0;
    }
    text.truncate(int(got));
#else
    if (fd < 0) {
        return true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return false;
        }
        qWarning() << "Не удалось заблокировать файл:" << path;
        return true;
    }
    text.truncate(int(qMax<ssize_t>(0, ::pread(fd, text.data(), size_t(text.size()), 0))));
#endif
    launchedBefore = text == launchedMark;
    held = this;
    return true;
}

void RunLock::begin() {
    if (held == this) {
        write(QByteArray());
    }
}

void RunLock::noteLaunch() {
    if (held) {
        held->write(launchedMark);
    }
}

void RunLock::write(const QByteArray& text) {
#ifdef Q_OS_WIN
    DWORD written = 0;
    if (!handle || SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !SetEndOfFile(handle) ||
        !WriteFile(handle, text.constData(), DWORD(text.size()), &written, nullptr)) {
        qWarning() << "Ошибка записи в файл:" << path;
    }
#else
    if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, text.constData(), size_t(text.size()), 0) != text.size()) {
        qWarning() << "Ошибка записи в файл:" << path;
    }
#endif
}
