#include "tree.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <functional>

#include "documents.h"
#include "manifest.h"
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

namespace {

// The segments of relative that name something: no empty ones, no ".".
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

namespace tree {

QStringList listEntries(const QString& dir) {
    QStringList entries;
    if (!QFileInfo(dir).isDir()) {
        return entries;
    }
    const QDir base(dir);
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !info.isSymLink()) {
            continue;
        }
        entries << base.relativeFilePath(info.filePath());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

namespace {

std::function<void(int)>& beforeMove() {
    static std::function<void(int)> hook;
    return hook;
}

// Why the last move or folder creation of a swap failed, in the system's words.
QString& lastReason() {
    static QString reason;
    return reason;
}

#ifndef Q_OS_WIN
// Gives the user read, write and search permission on the folder at path (not a link), as the
// wipe does: a folder of the installation made read-only does not stop an update.
void grantAccess(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (lstat(name.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        (info.st_mode & S_IRWXU) != S_IRWXU) {
        ::chmod(name.constData(), (info.st_mode & 07777) | S_IRWXU);
    }
}
#endif

bool moveEntry(const QString& from, const QString& to) {
    static int moves = 0;
    if (beforeMove()) {
        beforeMove()(moves++);
    }
#ifdef Q_OS_WIN
    if (MoveFileExW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(to).utf16()), 0)) {
        return true;
    }
#else
    // rename() moves a link as a link; the target is known not to exist.
    const auto rename = [&] {
        return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) ==
               0;
    };
    if (rename()) {
        return true;
    }
    if (errno == EACCES || errno == EPERM) {
        grantAccess(QFileInfo(from).path());
        grantAccess(QFileInfo(to).path());
        if (rename()) {
            return true;
        }
    }
#endif
    lastReason() = qt_error_string();
    return false;
}

// True when a folder of relative below dir is a link or is not a folder.
bool crossesLinkOrFile(const QString& dir, const QString& relative) {
    QString path = dir;
    const QStringList segments = namedSegments(relative);
    for (int i = 0; i + 1 < segments.size(); ++i) {
        path += QLatin1Char('/') + segments[i];
        const QFileInfo info(path);
        if (info.isSymLink() || (info.exists() && !info.isDir())) {
            return true;
        }
    }
    return false;
}

void setNewFileMode(const QString& path) {
#ifdef Q_OS_WIN
    Q_UNUSED(path)
#else
    QFile file(path);
    QByteArray start;
    if (file.open(QIODevice::ReadOnly)) {
        start = file.read(4);
        file.close();
    }
    const bool program = start == "\x7f"
                                  "ELF" ||
                         start.startsWith("#!");
    // The user's only, as everything the updater creates.
    ::chmod(QFile::encodeName(path).constData(), program ? 0700 : 0600);
#endif
}

} // namespace

namespace {
// Renames from to to, replacing a file there.
bool replaceEntry(const QString& from, const QString& to) {
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(to).utf16()),
                       MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

// The relative paths of the regular files under dir for which take is true, not through links.
QStringList filesUnder(const QString& dir, const std::function<bool(const QString&)>& take) {
    QStringList found;
    const QDir base(dir);
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString relative = base.relativeFilePath(it.filePath());
        if (!it.fileInfo().isSymLink() && take(relative) && !crossesLinkOrFile(dir, relative)) {
            found << relative;
        }
    }
    return found;
}

bool placeAt(const QString& from, const QString& to, QString* failed) {
    if (QDir().mkpath(QFileInfo(to).path()) && !QFileInfo(to).isDir() && replaceEntry(from, to)) {
        return true;
    }
    if (failed && failed->isEmpty()) {
        *failed = QDir::toNativeSeparators(to) + QStringLiteral(": ") + qt_error_string();
    }
    return false;
}
} // namespace

bool keepSettings(const QString& dir, const QString& keepDir, QString* failed) {
    bool ok = true;
    for (const QString& relative : filesUnder(dir, documents::isSettingsFile)) {
        const QString kept = keepDir + QLatin1Char('/') + relative;
        if (!QFileInfo::exists(kept)) {
            ok = placeAt(dir + QLatin1Char('/') + relative, kept, failed) && ok;
        }
    }
    return ok;
}

bool restoreSettings(const QString& keepDir, const QString& dir, QString* failed) {
    if (!QFileInfo(keepDir).isDir()) {
        return true;
    }
    bool ok = true;
    for (const QString& relative : filesUnder(keepDir, [](const QString&) { return true; })) {
        const QString to = dir + QLatin1Char('/') + relative;
        ok = !crossesLinkOrFile(dir, relative) &&
             placeAt(keepDir + QLatin1Char('/') + relative, to, failed) && ok;
        if (!ok && failed && failed->isEmpty()) {
            *failed = QDir::toNativeSeparators(to);
        }
    }
    if (ok) {
        QDir(keepDir).removeRecursively();
    }
    return ok;
}

void setBeforeMove(const std::function<void(int move)>& hook) {
    beforeMove() = hook;
}

bool swapFiles(const QString& dir, const QStringList& aside, const QVector<Placement>& place,
               const QString& asideDir, QString* failed) {
    // What has been moved, to be undone in reverse order: (from, to).
    QVector<QPair<QString, QString>> moved;
    QStringList madeDirs;
    // The failed step's path and reason, then everything moved back.
    const auto undo = [&](const QString& what) {
        if (failed) {
            *failed = QDir::toNativeSeparators(what) + QStringLiteral(": ") + lastReason();
        }
        for (int i = moved.size() - 1; i >= 0; --i) {
            moveEntry(moved[i].second, moved[i].first);
        }
        for (int i = madeDirs.size() - 1; i >= 0; --i) {
            QDir().rmdir(madeDirs[i]);
        }
        return false;
    };
    const auto inTheWay = [&](const QString& what) {
        lastReason() = QStringLiteral("a folder of the path is a link or a file");
        return undo(what);
    };
    for (int i = 0; i < aside.size(); ++i) {
        const QString from = dir + QLatin1Char('/') + aside[i];
        const QString to = asideDir + QLatin1Char('/') + QString::number(i);
        if (crossesLinkOrFile(dir, aside[i])) {
            return inTheWay(from);
        }
        if (!moveEntry(from, to)) {
            return undo(from);
        }
        moved.append({from, to});
    }
    for (const Placement& file : place) {
        const QString to = dir + QLatin1Char('/') + file.relative;
        if (crossesLinkOrFile(dir, file.relative)) {
            return inTheWay(to);
        }
        // The folders of the path, each created here remembered for the undo.
        QString folder = dir;
        const QStringList segments = namedSegments(file.relative);
        for (int i = 0; i + 1 < segments.size(); ++i) {
            folder += QLatin1Char('/') + segments[i];
            if (!QFileInfo(folder).isDir()) {
                if (!QDir().mkdir(folder)) {
                    lastReason() = qt_error_string();
                    return undo(folder);
                }
                madeDirs << folder;
            }
        }
        // A folder where the release has a file goes aside whole, with whatever the application
        // created inside it.
        const QFileInfo existing(to);
        if (existing.isDir() && !existing.isSymLink()) {
            const QString folderAside =
                asideDir + QStringLiteral("/d") + QString::number(moved.size());
            if (!moveEntry(to, folderAside)) {
                return undo(to);
            }
            moved.append({to, folderAside});
        }
        setNewFileMode(file.staged);
        if (QFileInfo::exists(to) || QFileInfo(to).isSymLink()) {
            lastReason() = QStringLiteral("something else is in its place");
            return undo(to);
        }
        if (!moveEntry(file.staged, to)) {
            return undo(to);
        }
        moved.append({file.staged, to});
    }
    return true;
}

} // namespace tree
