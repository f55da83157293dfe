#pragma once

// Shared pieces of the fault suites: archives written by hand (tar entries that a packer would
// never produce), the release every case starts from, the sentinel files outside the data
// directory, and checks of what is left on disk.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "testenv.h"

namespace faultkit {

// A ustar archive built entry by entry, so that names with "../", absolute names, links to
// anywhere and duplicate names can be written exactly as a hostile server would.
class TarWriter {
public:
    void addFile(const QString& name, const QByteArray& data, int mode = 0644);
    void addDirectory(const QString& name);
    void addSymlink(const QString& name, const QString& target);
    void addHardlink(const QString& name, const QString& target);
    QByteArray finish() const; // the archive with its two terminating zero blocks

private:
    void addHeader(const QString& name, char type, qint64 size, const QString& link, int mode);
    QByteArray bytes;
};

// Packs tree into a 7z archive with the real 7-Zip; extra switches (e.g. "-mx0", "-psecret")
// go before the archive name. Empty on failure.
QByteArray make7z(const testenv::Tree& tree, const QStringList& extraSwitches = {});

// The release every case starts from: the stand-in application as "quorvex" (it appends a
// line to $QUORVEX_MARKER when started), a data file, a settings file and a subdirectory.
struct Release {
    testenv::Tree tree; // what the installation directory holds after extraction
    QByteArray archive; // the 7z archive
    QJsonObject hashes; // the hash list of its top-level files
    bool isValid() const { return !archive.isEmpty(); }
};
Release makeRelease(const QByteArray& payload);

// A full version entry for archiveUrl, with "size" and "sha256" of archive when given.
QJsonObject entry(const QString& version, const QString& archiveUrl,
                  const QByteArray& archive = QByteArray());
QByteArray listOf(const QJsonObject& entry);
QByteArray json(const QJsonObject& object);
// The installed-version record exactly as the updater writes it.
QByteArray recordOf(const QJsonObject& entry);

// Files outside the data directory whose bytes must survive every case: inside
// XDG_DATA_HOME beside the data directory, and in a sibling of XDG_DATA_HOME.
class Sentinel {
public:
    void create(const QString& dataHome, const QString& sibling);
    // Differences from the original contents (empty when untouched), plus anything that
    // appeared in XDG_DATA_HOME or in the sibling's parent beyond the expected names.
    QStringList check() const;
    void allowInDataHome(const QString& name) { dataHomeNames << name; }
    void allowBesideDataHome(const QString& name) { parentNames << name; }

private:
    QString home, outside;
    testenv::Tree homeTree, outsideTree;
    QStringList dataHomeNames, parentNames;
};

// Lays out an installed release in dataDir: installation at dataDir + installDir, record,
// hash list. tamper: one installed file differs, so the next run fetches the version list.
void install(const QString& dataDir, const Release& release, const QJsonObject& record, bool tamper,
             const QString& installDir = QStringLiteral("/Quorvex"));

// Top-level names in dataDir that are not part of the updater's own layout
// (latestVersion.json, hashlist.json, update/, the installation directory).
QStringList strayEntries(const QString& dataDir, const QString& installDir);
// Regular files directly in dataDir + "/update".
QStringList downloadedFiles(const QString& dataDir);

// Mounts a tmpfs of the given size on dir (root only); false with *error when it fails.
bool mountTmpfs(const QString& dir, const QString& size, QString* error);
bool remountTmpfs(const QString& dir, const QString& size);
void unmount(const QString& dir);

// Child processes of pid (from /proc), e.g. the 7-Zip started by a running updater.
QList<qint64> childProcesses(qint64 pid);
void killProcess(qint64 pid);
bool processExists(qint64 pid);

} // namespace faultkit
