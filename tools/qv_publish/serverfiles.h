#pragma once

// File operations of the publishing tool: links in the server directory, the updater's view of
// an installation directory, and 7-Zip (the same program the updater unpacks with). Files are
// written whole through WholeFile (wholefile.h).

#include <QByteArray>
#include <QJsonObject>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>

namespace publish {

class Reporter;

// True when path itself is a symbolic link, or on Windows a junction or another reparse point
// that stands for a name elsewhere: what is written there lands wherever it leads.
bool isLink(const QString& path);
// Why publish does not write at path: it is such a link, and publish never writes through one.
// Empty when it is not.
QString linkProblem(const QString& path);

// The folders of the content store that writers on several threads put files in, each made once;
// a folder, or its parent, that is a link is refused.
class StoreFolders {
public:
    // Empty once folder exists, or why it cannot be used.
    QString prepare(const QString& folder);

private:
    QMutex lock;
    QSet<QString> made;
};

// The links in serverDir where a publish writes: the documents, signatures, archives and the
// journal, the manifests and store folders and anything at any depth under them (not
// descending into links). Each as its path relative to serverDir, with where it leads when that
// is known ("store/ab -> /elsewhere"). Other entries of the directory are the vendor's own.
QStringList serverLinks(const QString& serverDir);

// Flushes the files written into the file system that holds a folder to the disk, on Linux in
// one call (syncfs) instead of one per file; elsewhere files are flushed as they are written.
// A write-back failure since the object was made is seen.
class FileSystemSync {
public:
    explicit FileSystemSync(const QString& folder);
    ~FileSystemSync();
    FileSystemSync(const FileSystemSync&) = delete;
    FileSystemSync& operator=(const FileSystemSync&) = delete;
    // False with the system's reason in *error when something did not reach the disk.
    bool sync(QString* error);

private:
    QString path;
    int handle = -1;
};

// True where FileSystemSync flushes the files, so each need not be flushed by itself.
#ifdef Q_OS_LINUX
constexpr bool SyncsFileSystem = true;
#else
constexpr bool SyncsFileSystem = false;
#endif

// Lowercase SHA-256 of every file of dir that the updater checks (documents::verifiedFileNames),
// keyed by file name.
bool hashCheckedFiles(const QString& dir, QJsonObject* hashes, Reporter& reporter, QString* error);

// Lowercase SHA-256 of one file, with progress under the given step name.
bool hashFile(const QString& path, const QString& step, Reporter& reporter, QString* digest,
              QString* error);

// Why the 7-Zip that qv_publish packs and unpacks with ("7Z/7z.exe" beside the program, as for
// the updater) cannot be started: where it was looked for and what to do; empty when it is there.
QString sevenZipProblem();

// Packs every file and directory of sourceDir (hidden ones included) into a new 7z archive.
bool createArchive(const QString& sourceDir, const QString& archivePath, Reporter& reporter,
                   QString* error);

// Unpacks an archive into targetDir the way the updater does.
bool extractArchive(const QString& archivePath, const QString& targetDir, Reporter& reporter,
                    QString* error);

} // namespace publish
