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

// Lowercase SHA-256 of every file of dir that the updater checks (documents::verifiedFileNames),
// keyed by file name.
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
