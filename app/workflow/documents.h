#pragma once

// Reading the three JSON documents of the updater (version list, hash list, installed-version
// record) and judging a version entry before anything is removed. Pure functions, so that
// the rules can be tested and fuzzed without a window.

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVector>
#include <optional>

namespace documents {

// Largest version list accepted, counted after the transfer's own decoding.
constexpr qint64 MaxVersionListSize = 4 * 1024 * 1024;
// Largest hash list accepted (about a hundred thousand files).
constexpr qint64 MaxHashListSize = 16 * 1024 * 1024;

// Every non-digit is removed; the rest is read as a signed 32-bit decimal number. An empty or
// overflowing remainder reads as 0.
qint32 versionNumber(const QString& label);

struct VersionSelection {
    bool isArray = false;    // false: the document is not a JSON array
    bool found = false;      // a full entry with a positive number was found
    int invalidElements = 0; // elements that are not objects (each gets a warning)
    QJsonObject entry;       // the chosen entry, exactly as the list holds it
    QString downloadUrl;     // its "download_url" ("" if missing or not a string)
};

// Picks the full entry with the highest version number; the earliest wins among equals.
VersionSelection selectFullVersion(const QByteArray& body);

// The files of an installation directory whose digests are checked, in checking order: the
// files directly inside it (no hidden or system files, none whose name starts with ".", no
// dangling links; on Linux FIFOs, sockets and devices too, which then fail the check), by
// name ignoring case, without the ".ini" settings files. A missing directory lists nothing.
QStringList verifiedFileNames(const QString& dirPath);

// The installed-version record: accepted only when it parses to a JSON object.
std::optional<QJsonObject> parseRecord(const QByteArray& text);

// The hash list: accepted only when it parses to a JSON object.
std::optional<QJsonObject> parseHashList(const QByteArray& text);

// Why an entry's "extract_to" must not be used as the installation directory under dataDir,
// or an empty string when it may be wiped and refilled: it must start with "/" and name a
// directory strictly inside dataDir, never dataDir itself, one of the updater's own files or
// folders there (paths::dataDirOwnNames, in any letter case) or anything inside them, anything
// reached through a ".." segment, or a path with control characters. Entries are made for Windows
// clients, so on every platform the path must also be a Windows path: no segment ending in "." or "
// ", no ":" (drive letters, data streams) nor <>"|?*, no device names (CON, NUL, COM1, LPT1, ...,
// also with an extension).
QString installTargetProblem(const QString& dataDir, const QString& extractTo);

// Why an entry's "binary_name" must not be launched, or an empty string: it must name a file
// (an empty name is the installation directory itself), must not climb out of the
// installation directory through ".." and must not hold control characters; and it must be
// a Windows path as "extract_to" must.
QString binaryNameProblem(const QString& binaryName);

// Longest path of a program that Windows starts (MAX_PATH without its terminating null).
constexpr int MaxExecutablePath = 259;

// Why the executable dataDir + extractTo + binaryName could not be started because its path
// is too long for Windows, or an empty string.
QString executablePathProblem(const QString& dataDir, const QString& extractTo,
                              const QString& binaryName);

// Why the archive's file name (the last segment of "download_url", decoded) cannot be used, or
// an empty string. Wildcards would be read by 7-Zip as patterns, not as the name.
QString archiveNameProblem(const QString& fileName);

// Why an entry's "download_url" cannot be fetched, or an empty string: it must be an absolute
// http or https URL (either in any letter case) with a host.
QString downloadUrlProblem(const QString& url);

// Why the chosen entry must not be installed, or an empty string: its installation directory,
// its executable, its archive's address and file name, the form of its integrity keys and of its
// manifest keys, all judged before anything is downloaded or removed.
QString entryProblem(const QString& dataDir, const QJsonObject& entry, const QString& fileName);

// Optional archive integrity keys of an entry: "size" (a non-negative JSON number) and
// "sha256" (64 lowercase hexadecimal characters). Returns an empty string when the entry's
// keys are well-formed or absent, otherwise why they are not.
QString archiveCheckProblem(const QJsonObject& entry);

// Why a signed build must not install the chosen entry, or an empty string: its archive must be
// bound to the signed list by "sha256", and its version number must not be lower than that of
// the installed version (installedNumber; 0 when nothing is recorded).
QString signedEntryProblem(const QJsonObject& entry, qint32 installedNumber);

// Shared with the manifest's rules (manifest.h).
// The object that text holds as JSON, or nothing.
std::optional<QJsonObject> parseJsonObject(const QByteArray& text);
// True when text holds a character below U+0020 or U+007F.
bool hasControlCharacter(const QString& text);
// Why a path would not name the same file on Windows, or an empty string; what names the path
// in the message ("каталог установки", "имя исполняемого файла").
QString windowsPathProblem(const QString& path, const QString& what);

} // namespace documents
