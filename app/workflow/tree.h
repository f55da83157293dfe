#pragma once

// The file-system rules of the installation directory: where the links that an extractor left
// lead, names that are not UTF-8, and the wipe (tree.cpp); the listing, the per-file swap and the
// settings kept across an installation (swap.cpp). They judge what is on disk, never the
// spelling.

#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>

namespace tree {

// The segments of relative that name something ("/" or "\\" between them): no empty ones, no ".".
QStringList namedSegments(const QString& relative);

// How many links one path may pass through before it counts as a loop (as the system's own
// limit on Linux).
constexpr int MaxLinkSteps = 40;

// The first link under dir (at any depth, not descending into links) that does not lead inside
// dir, or an empty string. Each link is resolved component by component, as the system follows
// it: a chain of links ("x" -> ".", "s" -> "x/x/sub/../../..") is judged by where it ends, and a
// chain longer than MaxLinkSteps leads nowhere inside. A link that stays inside is fine whether
// or not what it names exists. On Windows a link is any reparse point (symbolic link, junction),
// and one whose final target cannot be found counts as leading outside.
QString linkLeadingOutside(const QString& dir);

// What the files under dir take (at any depth); a link takes nothing, what it names stays.
qint64 filesSize(const QString& dir);

// The first name under dir (at any depth, not descending into links) that is not valid UTF-8,
// as a path relative to dir with the undecodable bytes written as \xNN; an empty string when
// every name is UTF-8. Always empty on Windows, whose names are Unicode.
QString nameNotUtf8(const QString& dir);

// Removes base + relative and everything in it, whatever the names (on Linux the names' bytes
// are used as they are), without ever following a link: a link is removed as a link. Nothing is
// removed when a directory of relative above the last one is a link (the removal would take
// place where it leads); a missing entry counts as removed. Removes what it can even after a
// failure, then returns false and names the first entry that stayed in *failed. A directory
// without write or search permission for the user is given it first.
bool removeTree(const QString& base, const QString& relative, QString* failed = nullptr);

} // namespace tree

// ---- Changing the tree file by file (swap.cpp) ----
namespace tree {

// The relative ("/"-separated) paths of everything under dir that is not a directory: files,
// links (a link to a directory too, never descended into) and, on Linux, FIFOs and devices; in
// name order. Empty when dir does not exist.
QStringList listEntries(const QString& dir);

// One file of a per-file update: the staged file moved to dir + "/" + relative.
struct Placement {
    QString staged;
    QString relative;
};

// Puts a new set of files into the tree at dir in two moves, so that a failure at any step
// leaves the tree as it was: first every entry of aside (the files being replaced or removed,
// relative paths) is moved into asideDir; then each staged file is moved into place (its
// folders created; a folder in its way moved into asideDir whole; a folder without write
// permission given it first). When a step fails (a file in use on Windows, a folder of the path
// that is a link or a file that stays, no room for a folder, a name too long), everything moved
// is moved back and false is returned with the path and the system's reason in *failed. asideDir is
// on the same volume as dir, and empty. The staged files become the user's only, executable when
// they begin as a program does ("\x7fELF" or "#!").
bool swapFiles(const QString& dir, const QStringList& aside, const QVector<Placement>& place,
               const QString& asideDir, QString* failed = nullptr);

// Moves every settings file under dir (documents::isSettingsFile: any depth, any letter case;
// never through a link, links themselves stay) to the same relative path under keepDir, before
// the installation is wiped. One that is kept there already (by a run that was stopped before it
// put them back) stays as it is, and the installed one is left: the kept one is the user's. False
// names the first that could not be moved, and its reason, in *failed.
bool keepSettings(const QString& dir, const QString& keepDir, QString* failed = nullptr);

// Moves every file under keepDir back to the same relative path under dir (its folders created),
// replacing what the release put there, then removes keepDir. A file whose place the release
// took with a folder, or under a file, stays in keepDir; false names it in *failed.
bool restoreSettings(const QString& keepDir, const QString& dir, QString* failed = nullptr);

// Tests: called with its number (from 0) before each move of swapFiles, so that a test can stop
// the program there.
void setBeforeMove(const std::function<void(int move)>& hook);

} // namespace tree
