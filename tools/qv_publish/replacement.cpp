#include "replacement.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include "serverfiles.h"
#include "serverlock.h"
#include "sha256.h"
#include "wholefile.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <unistd.h>
#endif

namespace publish {

namespace {
// A second name for the file (or link) at path, so that it outlives a move over path.
bool linkFile(const QString& path, const QString& link, QString* error) {
    QFile::remove(link); // left by an interrupted run
#ifdef Q_OS_WIN
    if (CreateHardLinkW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(link).utf16()),
                        reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()),
                        nullptr)) {
        return true;
    }
    *error = QStringLiteral("cannot keep the previous %1 as %2: %3")
                 .arg(path, link, qt_error_string(int(GetLastError())));
#else
    if (::link(QFile::encodeName(path).constData(), QFile::encodeName(link).constData()) == 0) {
        return true;
    }
    *error = QStringLiteral("cannot keep the previous %1 as %2: %3")
                 .arg(path, link, QString::fromLocal8Bit(std::strerror(errno)));
#endif
    return false;
}

QString previousName(const QString& target) {
    return QLatin1Char('.') + target + QStringLiteral(".previous");
}

// The moves of one publish as its journal names them; all paths are within dir.
struct Journal {
    QDir dir;
    QJsonObject text;

    int size() const { return moves().size(); }
    QJsonArray moves() const { return text.value(QStringLiteral("moves")).toArray(); }
    QString file(int i, const char* key) const {
        return dir.filePath(moves().at(i).toObject().value(QLatin1String(key)).toString());
    }
    QString staged(int i) const { return file(i, "staged"); }
    QString target(int i) const { return file(i, "target"); }
    QString previous(int i) const {
        const QJsonObject move = moves().at(i).toObject();
        return move.value(QStringLiteral("previous")).toBool()
                   ? dir.filePath(previousName(move.value(QStringLiteral("target")).toString()))
                   : QString();
    }
    // Moved into place: a move takes its staged file away in one step.
    bool moved(int i) const { return !QFileInfo::exists(staged(i)); }
    QString version() const { return text.value(QStringLiteral("version")).toString(); }
    bool write(QString* error) const {
        return WholeFile::writeAll(journalPath(dir.path()), QJsonDocument(text).toJson(), error);
    }
};

// Removes the previous files kept and then the journal: the moves are over.
bool finish(const Journal& journal, QString* error) {
    for (int i = 0; i < journal.size(); ++i) {
        if (!journal.previous(i).isEmpty()) {
            QFile::remove(journal.previous(i));
        }
    }
    if (!QFile::remove(journalPath(journal.dir.path()))) {
        *error = QStringLiteral("cannot remove %1").arg(journalPath(journal.dir.path()));
        return false;
    }
    return true;
}

// Puts every moved target's previous file back (or removes the target where there was none) and
// removes the staged files. Recorded in the journal first, so that a repair after an
// interruption here goes on undoing; undoing twice is harmless.
bool rollBack(Journal journal, QString* error) {
    journal.text.insert(QStringLiteral("undo"), true);
    QString why;
    journal.write(&why);
    bool restored = true;
    for (int i = journal.size() - 1; i >= 0; --i) {
        const QString target = journal.target(i);
        const QString previous = journal.previous(i);
        if (!journal.moved(i)) {
            QFile::remove(journal.staged(i));
        } else if (previous.isEmpty()
                       ? QFileInfo::exists(target) && !QFile::remove(target)
                       : QFileInfo::exists(previous) && !replaceFile(previous, target, &why)) {
            restored = false;
            *error += previous.isEmpty()
                          ? QStringLiteral("; %1 could not be removed again").arg(target)
                          : QStringLiteral("; %1 could not be put back (%2), its previous "
                                           "content is in %3")
                                .arg(target, why, previous);
        }
    }
    return restored && finish(journal, error);
}

// Makes the moves not yet made, each target's previous file linked beside it first; the journal
// stays.
bool rollForward(const Journal& journal, const std::function<void(int)>& beforeMove,
                 QString* error) {
    for (int i = 0; i < journal.size(); ++i) {
        if (beforeMove) {
            beforeMove(i);
        }
        if (journal.moved(i)) {
            continue;
        }
        const QString previous = journal.previous(i);
        if ((!previous.isEmpty() && !linkFile(journal.target(i), previous, error)) ||
            !replaceFile(journal.staged(i), journal.target(i), error)) {
            return false;
        }
    }
    if (beforeMove) {
        beforeMove(journal.size());
    }
    return true;
}
} // namespace

QString stagedName(const QString& target) {
    return QLatin1Char('.') + target + QStringLiteral(".partial");
}

QString journalPath(const QString& serverDir) {
    return QDir(serverDir).filePath(QStringLiteral(".qv_publish.journal"));
}

bool replaceTogether(const QString& serverDir, const QString& version, const QList<Move>& moves,
                     const std::function<void(int)>& beforeMove, QString* error, bool* restored) {
    *restored = true;
    Journal journal{QDir(serverDir), {{QStringLiteral("version"), version}}};
    QJsonArray list;
    for (const Move& move : moves) {
        QString digest = move.sha256;
        QString why;
        if (digest.isEmpty() &&
            !Sha256::hashFile(journal.dir.filePath(move.staged), &digest, {}, &why)) {
            *error = QStringLiteral("cannot read %1: %2").arg(move.staged, why);
            return false;
        }
        const QFileInfo target(journal.dir.filePath(move.target));
        // Nothing can be moved over a directory, so there is nothing to keep.
        list << QJsonObject{{QStringLiteral("staged"), move.staged},
                            {QStringLiteral("target"), move.target},
                            {QStringLiteral("sha256"), digest},
                            {QStringLiteral("previous"), target.isFile() || target.isSymLink()}};
    }
    journal.text.insert(QStringLiteral("moves"), list);
    if (!journal.write(error)) {
        return false;
    }
    if (!rollForward(journal, beforeMove, error)) {
        *restored = rollBack(journal, error);
        return false;
    }
    // Served as a whole now: a journal left behind is only completed again by the next run.
    QString why;
    finish(journal, &why);
    return true;
}

Recovery recoverInterrupted(const QString& serverDir, const ServerLock& lock) {
    Recovery recovery;
    if (!lock.holds(serverDir)) {
        // Another qv_publish may be moving files right now: what looks interrupted is under way.
        recovery.ok = false;
        recovery.error = QStringLiteral("what an interrupted publish left in %1 is repaired only "
                                        "by the holder of %2; nothing was touched")
                             .arg(serverDir, lock.file());
        return recovery;
    }
    const QDir dir(serverDir);
    QFile file(journalPath(serverDir));
    if (!file.exists()) {
        // Staged by a publish that stopped before its journal: never served, never referred to.
        static const QRegularExpression staged(
            QStringLiteral("^\\..+\\.(json|sig|7z)\\.(partial|previous)$"));
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            if (staged.match(name).hasMatch() && QFile::remove(dir.filePath(name))) {
                recovery.removed << name;
            }
        }
        return recovery;
    }
    const Journal journal{dir, file.open(QIODevice::ReadOnly)
                                   ? QJsonDocument::fromJson(file.readAll()).object()
                                   : QJsonObject()};
    file.close();
    // Completed when the new content of every move is there, staged or moved into place, as it
    // was written; undone otherwise, and when an undo was already under way.
    bool complete = !journal.text.contains(QStringLiteral("undo")) && journal.size() > 0;
    QStringList moved;
    for (int i = 0; i < journal.size(); ++i) {
        QString digest;
        const bool there =
            Sha256::hashFile(journal.moved(i) ? journal.target(i) : journal.staged(i), &digest) &&
            digest == journal.moves().at(i).toObject().value(QStringLiteral("sha256")).toString();
        if (there && journal.moved(i)) {
            moved << QFileInfo(journal.target(i)).fileName();
        }
        complete = complete && there;
    }
    recovery.repaired =
        QStringLiteral("a publish of version \"%1\" was interrupted after replacing %2 of its %3 "
                       "files (%4)")
            .arg(journal.version())
            .arg(moved.size())
            .arg(journal.size())
            .arg(moved.isEmpty() ? QStringLiteral("none") : moved.join(QStringLiteral(", ")));
    const bool forward = complete && rollForward(journal, {}, &recovery.error);
    if (forward ? finish(journal, &recovery.error)
                : journal.size() > 0 && rollBack(journal, &recovery.error)) {
        recovery.repaired += forward ? QStringLiteral("; it has been completed")
                                     : QStringLiteral("; it could not be completed (its staged "
                                                      "files were not all there as written), so "
                                                      "it has been undone and the release "
                                                      "before it is served again");
    } else {
        recovery.ok = false;
        recovery.error = QStringLiteral("%1 cannot be carried out%2; compare the served files "
                                        "with it by hand, then remove it")
                             .arg(journalPath(serverDir), recovery.error);
    }
    return recovery;
}

} // namespace publish
