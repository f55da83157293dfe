#pragma once

// File operations of the publishing tool: atomic writes, the updater's view of an installation
// directory, and 7-Zip (the same program the updater unpacks with).

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace publish {

class Reporter;

// Writes through a temporary file renamed into place: the file holds either its old content
// or all of bytes, never a part.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error);

// Moves from over to, replacing an existing file in one step.
bool replaceFile(const QString& from, const QString& to, QString* error);

// The files the updater hashes in an installation directory, in the order it hashes them:
// regular, non-hidden files directly inside dir, sorted by name ignoring case, without the
// settings files (names ending in ".ini" in any case).
QStringList checkedFiles(const QString& dir);

// True for the names the updater never asks a digest for.
bool isSettingsFile(const QString& name);

// Lowercase SHA-256 of every checked file of dir, keyed by file name.
bool hashCheckedFiles(const QString& dir, QJsonObject* hashes, Reporter& reporter, QString* error);

// Lowercase SHA-256 of one file, with progress under the given step name.
bool hashFile(const QString& path, const QString& step, Reporter& reporter, QString* digest,
              QString* error);

// Packs every file and directory of sourceDir (hidden ones included) into a new 7z archive.
bool createArchive(const QString& sourceDir, const QString& archivePath, Reporter& reporter,
                   QString* error);

// Unpacks an archive into targetDir the way the updater does.
bool extractArchive(const QString& archivePath, const QString& targetDir, Reporter& reporter,
                    QString* error);

} // namespace publish
