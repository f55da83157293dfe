// Changing the installed tree file by file: the listing the per-file update compares, the
// swap with its undo, and the settings files kept across the archive's installation (tree.h).

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
#include <sys/stat.h>
#include <unistd.h>
#endif

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
