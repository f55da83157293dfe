#include "tree.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <functional>

#include "paths.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#endif

namespace tree {

QStringList namedSegments(const QString& relative) {
    QStringList segments;
    for (const QString& segment :
         QString(relative).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'))) {
        if (!segment.isEmpty() && segment != QLatin1String(".")) {
            segments << segment;
        }
    }
    return segments;
}

namespace {

#ifndef Q_OS_WIN

// The names inside the directory path, as bytes, without "." and "..".
bool listNames(DIR* dir, std::vector<QByteArray>* names) {
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..") {
            names->push_back(name);
        }
    }
    return errno == 0;
}

// Calls visit for every entry under dir (bytes), not descending into links.
void walk(const QByteArray& dir,
          const std::function<bool(const QByteArray& path, const QByteArray& name,
                                   const struct stat& info)>& visit,
          bool* stopped) {
    DIR* handle = opendir(dir.constData());
    if (!handle) {
        return;
    }
    std::vector<QByteArray> names;
    listNames(handle, &names);
    closedir(handle);
    for (const QByteArray& name : names) {
        const QByteArray path = dir + '/' + name;
        struct stat info {};
        if (lstat(path.constData(), &info) != 0) {
            continue;
        }
        if (!visit(path, name, info)) {
            *stopped = true;
            return;
        }
        if (S_ISDIR(info.st_mode)) {
            walk(path, visit, stopped);
            if (*stopped) {
                return;
            }
        }
    }
}

QByteArray readLink(const QByteArray& path) {
    QByteArray target(4096, '\0');
    const ssize_t length = readlink(path.constData(), target.data(), size_t(target.size()));
    return length > 0 && length < target.size() ? target.left(int(length)) : QByteArray();
}

// The path that the absolute path leads to, each link followed as the system follows it;
// empty after more than MaxLinkSteps links. Components that do not exist are taken as they are.
QByteArray resolved(const QByteArray& path) {
    QList<QByteArray> pending = path.split('/');
    QByteArray current; // empty: the root
    int steps = 0;
    while (!pending.isEmpty()) {
        const QByteArray part = pending.takeFirst();
        if (part.isEmpty() || part == ".") {
            continue;
        }
        if (part == "..") {
            // current holds no link: its parent is the real parent.
            current.truncate(qMax(0, current.lastIndexOf('/')));
            continue;
        }
        const QByteArray next = current + '/' + part;
        struct stat info {};
        if (lstat(next.constData(), &info) == 0 && S_ISLNK(info.st_mode)) {
            const QByteArray target = readLink(next);
            if (++steps > MaxLinkSteps || target.isEmpty()) {
                return QByteArray();
            }
            if (target.startsWith('/')) {
                current.clear();
            }
            pending = target.split('/') + pending;
            continue;
        }
        current = next;
    }
    return current.isEmpty() ? QByteArray("/") : current;
}

// Writes the bytes that are not part of valid UTF-8 as \xNN.
QString escapedName(const QByteArray& name) {
    QString text;
    for (int i = 0; i < name.size(); ++i) {
        if (uchar(name[i]) < 0x80) {
            text += QLatin1Char(name[i]);
            continue;
        }
        // The longest valid UTF-8 sequence starting here, if any.
        int length = 0;
        for (int n = 2; n <= 4 && i + n <= name.size(); ++n) {
            const QByteArray part = name.mid(i, n);
            if (QString::fromUtf8(part).toUtf8() == part) {
                length = n;
                break;
            }
        }
        if (length > 0) {
            text += QString::fromUtf8(name.mid(i, length));
            i += length - 1;
        } else {
            text += QStringLiteral("\\x%1").arg(uchar(name[i]), 2, 16, QLatin1Char('0'));
        }
    }
    return text;
}

bool isGone() {
    return errno == ENOENT;
}

bool removeAt(int parent, const QByteArray& name, const QByteArray& path, QString* failed);

// Removes everything inside the open directory fd, which it closes.
bool clearDirectory(int fd, const QByteArray& path, QString* failed) {
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return false;
    }
    std::vector<QByteArray> names;
    bool ok = listNames(dir, &names);
    for (const QByteArray& name : names) {
        ok = removeAt(dirfd(dir), name, path + '/' + name, failed) && ok;
    }
    closedir(dir);
    return ok;
}

bool removeAt(int parent, const QByteArray& name, const QByteArray& path, QString* failed) {
    struct stat info {};
    bool ok = true;
    if (fstatat(parent, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        ok = isGone();
    } else if (!S_ISDIR(info.st_mode)) {
        ok = unlinkat(parent, name.constData(), 0) == 0 || isGone();
    } else {
        if ((info.st_mode & S_IRWXU) != S_IRWXU) {
            fchmodat(parent, name.constData(), (info.st_mode & 07777) | S_IRWXU, 0);
        }
        const int fd =
            openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ok = fd >= 0 && clearDirectory(fd, path, failed);
        ok = (unlinkat(parent, name.constData(), AT_REMOVEDIR) == 0 || isGone()) && ok;
    }
    if (!ok && failed && failed->isEmpty()) {
        *failed = QFile::decodeName(path);
    }
    return ok;
}

#else

// A real link is a reparse point (symbolic link, junction); a shortcut (.lnk) is an ordinary
// file, whatever Qt 5 reports for it.
DWORD attributesOf(const QString& path) {
    return GetFileAttributesW(
        reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()));
}

bool removeEntry(const QString& path, QString* failed) {
    const QString native = QDir::toNativeSeparators(path);
    const auto* wide = reinterpret_cast<const wchar_t*>(native.utf16());
    const DWORD attributes = GetFileAttributesW(wide);
    bool ok = true;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        ok = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // A link or junction to a directory is removed as a directory entry, never entered.
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            const QStringList names = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                           QDir::Hidden | QDir::System);
            for (const QString& name : names) {
                ok = removeEntry(path + QLatin1Char('/') + name, failed) && ok;
            }
        }
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(wide, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
        }
        ok = RemoveDirectoryW(wide) && ok;
    } else {
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(wide, FILE_ATTRIBUTE_NORMAL);
        }
        ok = DeleteFileW(wide);
    }
    if (!ok && failed && failed->isEmpty()) {
        *failed = path;
    }
    return ok;
}

#endif

} // namespace

QString linkLeadingOutside(const QString& dir) {
#ifndef Q_OS_WIN
    const QByteArray root = QFile::encodeName(QFileInfo(dir).canonicalFilePath());
    if (root.isEmpty()) {
        return QString();
    }
    QString found;
    bool stopped = false;
    walk(
        root,
        [&](const QByteArray& path, const QByteArray&, const struct stat& info) {
            if (!S_ISLNK(info.st_mode)) {
                return true;
            }
            const QByteArray end = resolved(path);
            if (!end.isEmpty() && (end == root || end.startsWith(root + '/'))) {
                return true;
            }
            found = QFile::decodeName(path);
            return false;
        },
        &stopped);
    return found;
#else
    const QString root = QFileInfo(dir).canonicalFilePath();
    QStringList pending{dir};
    while (!pending.isEmpty()) {
        const QString current = pending.takeFirst();
        const QFileInfoList entries = QDir(current).entryInfoList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        for (const QFileInfo& info : entries) {
            const DWORD attributes = attributesOf(info.absoluteFilePath());
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                continue;
            }
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // The system resolves the whole chain for the real path.
                const QString end = info.canonicalFilePath();
                if (root.isEmpty() || end.isEmpty() || !paths::isSameOrAncestor(root, end)) {
                    return info.filePath();
                }
            } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                pending << info.absoluteFilePath();
            }
        }
    }
    return QString();
#endif
}

qint64 filesSize(const QString& dir) {
    qint64 total = 0;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().isSymLink() ? 0 : it.fileInfo().size();
    }
    return total;
}

QString nameNotUtf8(const QString& dir) {
#ifndef Q_OS_WIN
    const QByteArray root = QFile::encodeName(dir);
    QString found;
    bool stopped = false;
    walk(
        root,
        [&](const QByteArray& path, const QByteArray& name, const struct stat&) {
            if (QString::fromUtf8(name).toUtf8() == name) {
                return true;
            }
            QStringList parts;
            for (const QByteArray& part : path.mid(root.size() + 1).split('/')) {
                parts << escapedName(part);
            }
            found = parts.join(QLatin1Char('/'));
            return false;
        },
        &stopped);
    return found;
#else
    Q_UNUSED(dir);
    return QString();
#endif
}

bool removeTree(const QString& base, const QString& relative, QString* failed) {
    const QStringList segments = namedSegments(relative);
    if (segments.isEmpty()) {
        return false; // never the base itself
    }
#ifndef Q_OS_WIN
    int parent = open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QByteArray path = QFile::encodeName(base);
    bool ok = parent >= 0;
    for (int i = 0; ok && i + 1 < segments.size(); ++i) {
        const QByteArray name = QFile::encodeName(segments[i]);
        path += '/' + name;
        const int next =
            openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && isGone()) {
            close(parent);
            return true; // nothing there to remove
        }
        close(parent);
        parent = next;
        ok = parent >= 0;
    }
    if (ok) {
        const QByteArray name = QFile::encodeName(segments.last());
        ok = removeAt(parent, name, path + '/' + name, failed);
    } else if (failed && failed->isEmpty()) {
        *failed = QFile::decodeName(path);
    }
    if (parent >= 0) {
        close(parent);
    }
    return ok;
#else
    QString path = base;
    for (int i = 0; i + 1 < segments.size(); ++i) {
        path += QLatin1Char('/') + segments[i];
        const DWORD attributes = attributesOf(path);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return true;
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (failed && failed->isEmpty()) {
                *failed = path;
            }
            return false;
        }
    }
    return removeEntry(path + QLatin1Char('/') + segments.last(), failed);
#endif
}

} // namespace tree
