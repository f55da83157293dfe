#pragma once

// Replacing files of the server directory together, so that an interruption at any point, a
// kill included, can be repaired: a journal names every move before the first one is made, and
// the next publish or check completes or undoes them.

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

namespace publish {

class ServerLock;

struct Move {
    QString staged; // file names within the server directory
    QString target;
    QString sha256; // of the staged file, when known
};

// The hidden name beside target under which its new content is staged.
QString stagedName(const QString& target);

// The journal of the moves under way; it exists only while a publish replaces files.
QString journalPath(const QString& serverDir);

// Moves each staged file over its target, in order. The journal comes first; each target's
// previous file is linked beside it before its move and kept until all moves are done; when one
// fails, the moves before it are undone. *restored tells whether, after a failure, every target is
// as it was. beforeMove, when set, is called before move i and with moves.size() after the last.
bool replaceTogether(const QString& serverDir, const QString& version, const QList<Move>& moves,
                     const std::function<void(int)>& beforeMove, QString* error, bool* restored);

struct Recovery {
    bool ok = true;
    QString error;       // why the interrupted moves could not be repaired (the journal stays)
    QString repaired;    // what an interrupted publish had replaced, and how it was repaired
    QStringList removed; // staged files of publishes that stopped before replacing anything
};

// Completes the moves of an interrupted publish, or undoes them when a staged file is not there
// as it was written or when an undo was under way, and removes files staged by publishes that
// never began moving. Only under the server lock, when nothing else publishes: unless lock holds
// it, nothing is touched and the result says why.
Recovery recoverInterrupted(const QString& serverDir, const ServerLock& lock);

} // namespace publish
