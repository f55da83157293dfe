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

// ---- Per-file releases: the manifest and the content store ----
//
// An entry may name a manifest of its installation tree with three keys, all or none:
// "manifest_url" (an absolute http or https URL), "manifest_size" (its byte size, a JSON number)
// and "manifest_sha256" (its lowercase SHA-256). The manifest is a JSON object:
//   {"format": 1, "store": "../store/",
//    "files": [{"path": "sub/a.dll", "size": 123, "sha256": "<64 hex>", "packed": 99}, ...]}
// "store" is the content store's folder, relative to the manifest's URL (or an absolute http or
// https URL), ending in "/". A file's content is stored once under its digest, compressed as one
// zlib stream (RFC 1950): store + the digest's first two characters + "/" + the digest; "packed"
// is that object's byte size. Paths are relative, "/"-separated, inside the installation
// directory, and each must also be a Windows path; no two may differ in letter case only, and
// none may be a folder of another.

// Largest manifest accepted (about two hundred thousand files).
constexpr qint64 MaxManifestSize = 32 * 1024 * 1024;

struct ManifestFile {
    QString path; // relative, "/"-separated
    qint64 size = 0;
    QString sha256; // lowercase hexadecimal
    qint64 packed = 0;
};

struct Manifest {
    QString store; // as written, ending in "/"
    QVector<ManifestFile> files;
};

// Why the entry's manifest keys are not usable, or an empty string when they are well-formed or
// all absent.
QString manifestKeysProblem(const QJsonObject& entry);

// True when the entry names a manifest (its keys were judged by manifestKeysProblem).
bool hasManifest(const QJsonObject& entry);

// The manifest, or nothing with *problem set when text is not one (bad JSON, a missing or
// ill-typed key, an unusable path, a duplicate, a size out of range).
std::optional<Manifest> parseManifest(const QByteArray& text, QString* problem = nullptr);

// Where the compressed content of file is, for a manifest fetched from manifestUrl.
QUrl storedFileUrl(const QUrl& manifestUrl, const Manifest& manifest, const ManifestFile& file);

// The key under which Windows finds a name: each UTF-16 unit through its simple upper-case
// mapping, as NTFS compares names through its own upper-case table (so "ı" and "i", "ς" and
// "σ", "ſ" and "s" are one name there, while "ß" stays apart from "ss").
QString windowsNameKey(const QString& path);
// The key under which this system's file system finds path: windowsNameKey on Windows, the
// path itself elsewhere.
QString fileSystemKey(const QString& path);

// True for the settings files (".ini", any letter case) that the user may change: an installed
// one is never compared, nor removed when a release no longer has it.
bool isSettingsFile(const QString& path);

// Each file fetched costs a request besides its bytes: counted as this many bytes when the
// per-file update is weighed against the archive.
constexpr qint64 PerFileCost = 64 * 1024;
// The per-file update is used while its cost stays within this share (percent) of the archive.
constexpr int MaxFetchShare = 60;

// What a per-file update or repair does with the installed tree.
struct UpdatePlan {
    QVector<ManifestFile> fetch; // missing, or installed with another digest (manifest order)
    QStringList keep;            // installed as listed
    QStringList remove;          // installed but not in the manifest (settings files kept)
    qint64 fetchBytes = 0;       // the sum of the fetched files' "packed"
    bool useArchive = false;     // the archive is cheaper: fetch it instead
};

// installed: the relative paths of the installed files (as the manifest spells them, "/"-
// separated) with their lowercase SHA-256, or an empty digest when unknown or unreadable (such a
// file is fetched again). archiveSize: the archive's size, or -1 when unknown (then the packed
// total of the whole manifest stands for it). removeExtra: false for a repair, which leaves
// files the manifest does not know alone.
UpdatePlan planUpdate(const Manifest& manifest, const QHash<QString, QString>& installed,
                      qint64 archiveSize, bool removeExtra);

} // namespace documents
